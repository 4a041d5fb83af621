#pragma once
// The file interface of the scan: open a file for reading, read facts from
// the open handle, read its bytes in blocks. The Win32 adapter opens with
// backup semantics; a fake stages sizes, directories and read failures.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zorvane {

inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;

struct FileInformation {
    std::uint32_t attributes = 0;
    std::uint64_t size = 0;
};

// One open file. Closing is the destructor's job.
class OpenFile {
public:
    virtual ~OpenFile() = default;
    // The facts GetFileInformationByHandle gives; none when the call fails.
    virtual std::optional<FileInformation> information() = 0;
    // Reads up to `capacity` bytes at the current position. Returns the count
    // read (0 at the end of the file), or none on a read error.
    virtual std::optional<std::uint32_t> read(std::uint8_t* buffer, std::uint32_t capacity) = 0;
    // The handle's numeric value, for error texts.
    virtual std::uintptr_t handleValue() const = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Opens `openPath` (already in its "\\?\" form) for shared reading with
    // backup semantics. Null when it cannot be opened.
    virtual std::unique_ptr<OpenFile> openForScan(const std::u16string& openPath) = 0;
};

}  // namespace zorvane
