#pragma once
// The Win32 path system: SHGetFolderPathW, GetTempPathW, GetLongPathNameW,
// GetDriveTypeW, SearchPathW, GetEnvironmentVariableW and the shell link
// object. Path results use 2080-character buffers; a longer result is a
// failure.

#include "core/extractors/path_operations.h"

namespace zorvane::client {

class Win32PathSystem : public PathSystem {
public:
    std::optional<std::u16string> specialFolder(int csidl) override;
    std::optional<std::u16string> tempPath() override;
    std::optional<std::u16string> longPathName(const std::u16string& path) override;
    DriveType driveType(const std::u16string& root) override;
    std::optional<std::u16string> searchPath(const std::u16string& fileName,
                                             const std::u16string& defaultExtension) override;
    std::optional<std::u16string> environmentVariable(const std::u16string& name) override;
    // COM must be initialised on the calling thread.
    std::optional<std::u16string> shortcutTarget(const std::u16string& linkPath) override;
};

}  // namespace zorvane::client
