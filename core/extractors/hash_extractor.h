#pragma once

#include "core/scan/info_extractor.h"

namespace zorvane {

// MD5 and SHA-1 of the scanned file's bytes, in one pass over its blocks.
class HashExtractor : public InfoExtractor {
public:
    HashExtractor() : InfoExtractor("hash") {}
};

}  // namespace zorvane
