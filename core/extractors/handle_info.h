#pragma once

#include "core/scan/info_extractor.h"

namespace zorvane {

// Stores the size of the scanned file, read from its open handle.
class HandleInfoExtractor : public InfoExtractor {
public:
    HandleInfoExtractor() : InfoExtractor("handle") {}
};

}  // namespace zorvane
