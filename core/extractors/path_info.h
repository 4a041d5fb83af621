#pragma once

#include "core/extractors/info_extractor.h"
#include "core/extractors/path_operations.h"

namespace zorvane {

// "path.pathFull", "path.file", "path.path" and "path.lpath" of the scanned
// file: the path as received, then its lower-cased file name, directory and
// generalised directory. A path without a backslash has no "path.file".
class PathInfoExtractor : public InfoExtractor {
public:
    explicit PathInfoExtractor(PathOperations& paths) : InfoExtractor("path"), paths_(paths) {}

    void extract(const std::u16string& path) override;

private:
    PathOperations& paths_;
};

}  // namespace zorvane
