// Files opened for the scan: shared reading with backup semantics, so that
// the backup privilege reaches files the user could not read otherwise, and
// directories open too (they are recognised and skipped by the caller).
#include <windows.h>

#include "client/scan/adapters.h"
#include "client/win32/fs_redirection.h"
#include "client/win32/procedure.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/extractors/file_system.h"

namespace zorvane::client {

namespace {

// The attributes and the size through two queries of the open handle alone.
// GetFileInformationByHandle also asks for the volume's serial number; under
// Wine that call waits on another process, a few milliseconds per file on a
// loaded machine (bench/scan_bench_win32.cpp), more than reading and hashing
// a typical library. It stays as the fallback.
struct FileBasicInformation {
    LARGE_INTEGER creationTime;
    LARGE_INTEGER lastAccessTime;
    LARGE_INTEGER lastWriteTime;
    LARGE_INTEGER changeTime;
    ULONG fileAttributes;
};
struct IoStatusBlock {
    union {
        LONG status;
        PVOID pointer;
    };
    ULONG_PTR information;
};
constexpr ULONG kFileBasicInformationClass = 4;
using NtQueryInformationFileFunction = LONG(NTAPI*)(HANDLE, IoStatusBlock*, PVOID, ULONG, ULONG);

NtQueryInformationFileFunction queryInformationFile()
{
    static const auto function =
        win32::procedure<NtQueryInformationFileFunction>(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile");
    return function;
}

class Win32OpenFile : public OpenFile {
public:
    explicit Win32OpenFile(win32::UniqueFileHandle file) : file_(std::move(file)) {}

    // Asked once per file by the reader and once by the handle extractor:
    // the answer of the first call is kept.
    std::optional<FileInformation> information() override
    {
        if (!information_)
            information_ = query();
        return *information_;
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
    std::optional<FileInformation> query() const
    {
        const auto queryFile = queryInformationFile();
        FileBasicInformation basic{};
        IoStatusBlock status{};
        LARGE_INTEGER size{};
        if (queryFile && queryFile(file_.get(), &status, &basic, sizeof basic, kFileBasicInformationClass) >= 0 &&
            GetFileSizeEx(file_.get(), &size))
            return FileInformation{basic.fileAttributes, static_cast<std::uint64_t>(size.QuadPart)};
        BY_HANDLE_FILE_INFORMATION information{};
        if (!GetFileInformationByHandle(file_.get(), &information))
            return std::nullopt;
        return FileInformation{information.dwFileAttributes,
                               (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow};
    }

    win32::UniqueFileHandle file_;
    std::optional<std::optional<FileInformation>> information_;
};

class Win32FileSystem : public FileSystem {
public:
    std::unique_ptr<OpenFile> openForScan(const std::u16string& openPath) override
    {
        const win32::RedirectionOff redirectionOff;
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
