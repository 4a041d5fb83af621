#pragma once

#include "core/extractors/path_operations.h"
#include "core/scan/info_extractor.h"

namespace zorvane {

// The operating-system side: reading registry keys and values.
class RegistryReader {
public:
    virtual ~RegistryReader() = default;
};

// Services and approved shell extensions that start the scanned file.
class RegistryInfoExtractor : public InfoExtractor {
public:
    RegistryInfoExtractor(RegistryReader& registry, PathOperations& paths)
        : InfoExtractor("reg"), registry_(registry), paths_(paths)
    {
    }

private:
    [[maybe_unused]] RegistryReader& registry_;
    [[maybe_unused]] PathOperations& paths_;
};

}  // namespace zorvane
