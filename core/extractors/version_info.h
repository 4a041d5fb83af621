#pragma once

#include "core/scan/info_extractor.h"

namespace zorvane {

// The operating-system side: reading a file's version resource.
class VersionResources {
public:
    virtual ~VersionResources() = default;
};

// The "ver." fields of the scanned file's version resource.
class VersionInfoExtractor : public InfoExtractor {
public:
    explicit VersionInfoExtractor(VersionResources& resources) : InfoExtractor("ver"), resources_(resources) {}

private:
    [[maybe_unused]] VersionResources& resources_;
};

}  // namespace zorvane
