#pragma once
// Version resources through version.dll: GetFileVersionInfoSizeW,
// GetFileVersionInfoW and VerQueryValueW.

#include "core/extractors/version_info.h"

namespace zorvane::client {

class Win32VersionResources : public VersionResources {
public:
    std::unique_ptr<VersionBlock> load(const std::u16string& path) override;
};

}  // namespace zorvane::client
