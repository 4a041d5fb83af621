#pragma once
// The shared path operations: normalisation, environment tokens, command
// resolution, shortcuts, generalisation. Their caches (special folders,
// environment values, the rundll32 template) are filled lazily, live as long
// as the PathOperations object (the client keeps one for the whole run) and
// are never refreshed. Every member may be called from any thread.
//
// Case folding here touches only the ASCII letters A to Z.

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// GetDriveTypeW's results.
enum class DriveType : std::uint32_t {
    Unknown = 0,
    NoRootDirectory = 1,
    Removable = 2,
    Fixed = 3,
    Remote = 4,
    Cdrom = 5,
    RamDisk = 6,
};

// CSIDL values of the special-folder table.
namespace csidl {
inline constexpr int kStartup = 0x07;
inline constexpr int kDesktopDirectory = 0x10;
inline constexpr int kCommonStartup = 0x18;
inline constexpr int kCommonDesktopDirectory = 0x19;
inline constexpr int kWindows = 0x24;
inline constexpr int kSystem = 0x25;
inline constexpr int kProgramFiles = 0x26;
inline constexpr int kProfile = 0x28;
inline constexpr int kProgramFilesCommon = 0x2B;
// The "temp" row has no CSIDL; its path comes from tempPath().
inline constexpr int kNone = -1;
}  // namespace csidl

// The operating-system side of the path operations. Every failure, and every
// path result of 2080 characters or more, is an empty optional.
class PathSystem {
public:
    virtual ~PathSystem() = default;

    // The current path of a special folder (SHGetFolderPathW).
    virtual std::optional<std::u16string> specialFolder(int csidl) = 0;
    // The user's temp directory (GetTempPathW), usually with a trailing backslash.
    virtual std::optional<std::u16string> tempPath() = 0;
    // The long form of an existing file or directory (GetLongPathNameW); none
    // when it does not exist or cannot be reached.
    virtual std::optional<std::u16string> longPathName(const std::u16string& path) = 0;
    // The type of the drive whose root is `root`, such as "e:\" (GetDriveTypeW).
    virtual DriveType driveType(const std::u16string& root) = 0;
    // Finds a file in the system's default search order (SearchPathW);
    // `defaultExtension` is appended only when the name has no extension.
    virtual std::optional<std::u16string> searchPath(const std::u16string& fileName,
                                                     const std::u16string& defaultExtension) = 0;
    // A variable of the process environment; names ignore letter case. An
    // existing variable may have an empty value.
    virtual std::optional<std::u16string> environmentVariable(const std::u16string& name) = 0;
    // The target path of a shell link file; none when the link cannot be
    // loaded or names no file-system path. COM must be initialised on the
    // calling thread.
    virtual std::optional<std::u16string> shortcutTarget(const std::u16string& linkPath) = 0;
};

struct SpecialFolder {
    std::u16string_view name;  // lower case, as used in "%name%" tokens
    int csidl;                 // csidl::kNone for "temp"
    std::u16string path;       // long form, no trailing backslash; empty when Windows names none
};

class PathOperations {
public:
    static constexpr std::size_t kSpecialFolderCount = 10;
    using SpecialFolderTable = std::array<SpecialFolder, kSpecialFolderCount>;

    explicit PathOperations(PathSystem& system);

    PathOperations(const PathOperations&) = delete;
    PathOperations& operator=(const PathOperations&) = delete;

    // Fills the special-folder table on the first call; later calls return at once.
    void initSpecialFolders();
    // The ten rows in their fixed order, filled first when needed.
    const SpecialFolderTable& specialFolders();
    // The path of the row with this name ("startup", "commonstartup", ...);
    // empty for an unknown name or a folder Windows does not name.
    std::u16string specialFolderPath(std::u16string_view name);

    // Expands environment tokens, drops a leading "\??\", maps a leading
    // "\SystemRoot\" to the Windows folder, takes the long form of an existing
    // path and upper-cases a drive letter.
    void normalisePath(std::u16string& text);
    // Replaces each "%NAME%" whose variable exists by its value; unknown
    // tokens stay. Values are cached per name for the run.
    void expandEnvironmentTokens(std::u16string& text);
    // On success the text becomes the full, normalised path of the file found
    // (".exe" is tried when the name has no extension). On failure it is unchanged.
    bool searchExecutable(std::u16string& text);
    // On success the command becomes the full, normalised path of the file it
    // runs (for a rundll32 command, of the DLL it loads). On failure it is unchanged.
    bool resolveCommandFile(std::u16string& command);
    // On success sets `target` to the link's target path; otherwise leaves it
    // unchanged. `linkPath` and `target` may be the same string. The calling
    // thread must have initialised COM.
    bool resolveShortcut(const std::u16string& linkPath, std::u16string& target);
    // Replaces the longest leading special folder by "%name%", or the drive
    // of a CD-ROM path by "%cdrom%". Anything else stays.
    void generalisePath(std::u16string& text);

    // Removes leading and trailing space, tab, line feed, vertical tab, form
    // feed and carriage return.
    static void trimWhitespace(std::u16string& text);
    static void toLowerAscii(std::u16string& text);

private:
    const std::u16string& rundll32Template();
    // searchExecutable with another extension tried for a name without one.
    bool searchFile(std::u16string& text, std::u16string_view defaultExtension);
    bool resolveRundll32Library(std::u16string& program, const std::u16string& firstArgument, std::u16string rest,
                                std::u16string& command);

    PathSystem& system_;

    std::once_flag foldersOnce_;
    SpecialFolderTable folders_;

    std::once_flag templateOnce_;
    std::u16string rundll32Template_;

    std::mutex environmentMutex_;
    std::map<std::u16string, std::u16string> environment_;
};

}  // namespace zorvane
