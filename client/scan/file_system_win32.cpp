// Files opened for the scan: shared reading with backup semantics, so that
// the backup privilege reaches files the user could not read otherwise, and
// directories open too (they are recognised and skipped by the caller).
#include <windows.h>

#include "client/win32/adapters.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/scan/file_system.h"

namespace zorvane::client {

namespace {

class Win32OpenFile : public OpenFile {
public:
    explicit Win32OpenFile(win32::UniqueFileHandle file) : file_(std::move(file)) {}

    std::optional<FileInformation> information() override
    {
        BY_HANDLE_FILE_INFORMATION information{};
        if (!GetFileInformationByHandle(file_.get(), &information))
            return std::nullopt;
        return FileInformation{information.dwFileAttributes,
                               (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow};
    }

    std::optional<std::uint32_t> read(std::uint8_t* buffer, std::uint32_t capacity) override
    {
        DWORD count = 0;
        if (!ReadFile(file_.get(), buffer, capacity, &count, nullptr))
            return std::nullopt;
        return count;
    }

    std::uintptr_t handleValue() const override { return reinterpret_cast<std::uintptr_t>(file_.get()); }

private:
    win32::UniqueFileHandle file_;
};

class Win32FileSystem : public FileSystem {
public:
    std::unique_ptr<OpenFile> openForScan(const std::u16string& openPath) override
    {
        win32::UniqueFileHandle file(CreateFileW(win32::wide(openPath), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!file)
            return nullptr;
        return std::make_unique<Win32OpenFile>(std::move(file));
    }
};

}  // namespace

std::unique_ptr<FileSystem> makeFileSystem() { return std::make_unique<Win32FileSystem>(); }

}  // namespace zorvane::client
