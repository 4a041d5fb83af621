#pragma once

#include "core/extractors/info_extractor.h"

namespace zorvane {

// "handle.filesize": the scanned file's 64-bit size, read from its open
// handle. When the size cannot be read, the value is empty and "ERROR" gets
// the reason. The handle is neither read nor moved.
class HandleInfoExtractor : public InfoExtractor {
public:
    HandleInfoExtractor() : InfoExtractor("handle") {}

    void extractFromHandle(OpenFile& file) override;
};

}  // namespace zorvane
