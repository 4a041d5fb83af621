// The path system over the shell, kernel32 and the shell link object.
#include "client/extractors/path_system_win32.h"

#include <shlobj.h>
#include <shobjidl.h>

#include <vector>

#include "client/extractors/adapters.h"
#include "client/win32/unique_com.h"
#include "client/win32/wide.h"

namespace zorvane::client {

namespace {

// Every path buffer handed to Windows; a result that does not fit is a failure.
constexpr DWORD kPathCapacity = 2080;
constexpr std::size_t kLongPathInputLimit = 1024;

// Length results of the kernel32 path calls: 0 is a failure, and a result
// of the capacity or more is the size the text would have needed.
std::optional<std::u16string> fittingResult(DWORD length, const wchar_t* buffer)
{
    if (length == 0 || length >= kPathCapacity)
        return std::nullopt;
    return win32::fromWide(buffer, length);
}

}  // namespace

std::optional<std::u16string> Win32PathSystem::specialFolder(int csidl)
{
    wchar_t buffer[kPathCapacity] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        return std::nullopt;
    return win32::fromWide(buffer, wcsnlen(buffer, kPathCapacity - 1));
}

std::optional<std::u16string> Win32PathSystem::tempPath()
{
    wchar_t buffer[kPathCapacity];
    return fittingResult(GetTempPathW(kPathCapacity, buffer), buffer);
}

std::optional<std::u16string> Win32PathSystem::longPathName(const std::u16string& path)
{
    // Wine's GetLongPathNameW overruns a fixed buffer of 1024 characters on
    // longer input. No file reachable without the "\\?\" form has so long a
    // name, and the result could hardly fit anyway, so such text stays as it is.
    if (path.size() >= kLongPathInputLimit)
        return std::nullopt;
    wchar_t buffer[kPathCapacity];
    return fittingResult(GetLongPathNameW(win32::wide(path), buffer, kPathCapacity), buffer);
}

DriveType Win32PathSystem::driveType(const std::u16string& root)
{
    return static_cast<DriveType>(GetDriveTypeW(win32::wide(root)));
}

std::optional<std::u16string> Win32PathSystem::searchPath(const std::u16string& fileName,
                                                          const std::u16string& defaultExtension)
{
    wchar_t buffer[kPathCapacity];
    const DWORD length =
        SearchPathW(nullptr, win32::wide(fileName), win32::wide(defaultExtension), kPathCapacity, buffer, nullptr);
    return fittingResult(length, buffer);
}

std::optional<std::u16string> Win32PathSystem::environmentVariable(const std::u16string& name)
{
    // Values may grow up to 32767 characters; ask for the size and read
    // again while the value does not fit (it may change in between).
    std::vector<wchar_t> buffer(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableW(win32::wide(name), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND)
                return std::nullopt;
            return std::u16string();
        }
        if (length < buffer.size())
            return win32::fromWide(buffer.data(), length);
        buffer.resize(length);
    }
}

std::optional<std::u16string> Win32PathSystem::shortcutTarget(const std::u16string& linkPath)
{
    win32::ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid())))
        return std::nullopt;
    win32::ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.putVoid())))
        return std::nullopt;
    if (FAILED(file->Load(win32::wide(linkPath), STGM_READ)))
        return std::nullopt;
    wchar_t buffer[kPathCapacity] = {};
    // S_FALSE: the link names no file-system path, so there is no target.
    if (link->GetPath(buffer, kPathCapacity, nullptr, SLGP_UNCPRIORITY) != S_OK)
        return std::nullopt;
    const std::size_t length = wcsnlen(buffer, kPathCapacity);
    if (length == 0 || length >= kPathCapacity)
        return std::nullopt;
    return win32::fromWide(buffer, length);
}

PathOperations& processPathOperations()
{
    static Win32PathSystem system;
    static PathOperations operations(system);
    return operations;
}

}  // namespace zorvane::client
