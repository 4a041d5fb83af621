#pragma once

#include "core/extractors/path_operations.h"
#include "core/scan/info_extractor.h"

namespace zorvane {

// "path.pathFull", "path.file", "path.path" and "path.lpath" of the scanned file.
class PathInfoExtractor : public InfoExtractor {
public:
    explicit PathInfoExtractor(PathOperations& paths) : InfoExtractor("path"), paths_(paths) {}

private:
    [[maybe_unused]] PathOperations& paths_;
};

}  // namespace zorvane
