#pragma once
// zorvane.exe on 64-bit Windows hands the run to the 64-bit client it
// carries: a 32-bit process cannot list a 64-bit process's modules, reads
// SysWOW64 where System32 is named, and sees the 32-bit registry view.
//
// relaunchAs64Bit writes the carried image into a fresh private folder,
// reads it back to check that the bytes on disk are the carried ones, runs
// it with the program's own arguments and waits for it, then removes the
// file and the folder whatever happened. The caller hands the child's exit
// code on, or scans by itself when the relaunch failed.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// The operating-system side of the relaunch.
class RelaunchSystem {
public:
    virtual ~RelaunchSystem() = default;
    // True when this is a 32-bit process on 64-bit Windows.
    virtual bool runsUnderWow64() = 0;
    // The carried 64-bit image; empty when the program carries none.
    virtual std::span<const std::uint8_t> embeddedImage() = 0;
    // A folder of a new name that only the current user and the system may
    // use; none when it cannot be made.
    virtual std::optional<std::u16string> createPrivateFolder() = 0;
    // Creates `path` (which must not exist) with exactly `bytes`.
    virtual bool writeNewFile(const std::u16string& path, std::span<const std::uint8_t> bytes) = 0;
    virtual std::optional<std::vector<std::uint8_t>> readWholeFile(const std::u16string& path) = 0;
    // Starts `program` with `commandLine` and waits for it to end: its exit
    // code, or none when it could not be started.
    virtual std::optional<std::uint32_t> runAndWait(const std::u16string& program,
                                                    const std::u16string& commandLine) = 0;
    virtual bool deleteFile(const std::u16string& path) = 0;
    virtual bool removeFolder(const std::u16string& path) = 0;
};

struct RelaunchResult {
    enum class Outcome {
        NotNeeded,  // not on 64-bit Windows: scan here
        Ran,        // the 64-bit client ran; exitCode is its own
        Failed,     // on 64-bit Windows, but the 64-bit client could not run
    };
    Outcome outcome = Outcome::NotNeeded;
    std::uint32_t exitCode = 0;
};

inline constexpr std::u16string_view kEmbeddedClientName = u"zorvane64.exe";

RelaunchResult relaunchAs64Bit(RelaunchSystem& system, std::u16string_view commandLine);

// What follows the program name in a Windows command line, as the C runtime
// reads it: a quoted name ends at the next quote, an unquoted one at the
// first space or tab. The white space after the name is dropped.
std::u16string_view argumentsAfterProgram(std::u16string_view commandLine);

// The child's command line: its path in quotes, then `arguments` unchanged.
std::u16string childCommandLine(const std::u16string& program, std::u16string_view arguments);

}  // namespace zorvane
