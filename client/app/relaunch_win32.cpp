#include "client/app/relaunch_win32.h"

#include <windows.h>
#include <sddl.h>

#include "client/resources/resource.h"
#include "client/win32/procedure.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"

namespace zorvane::client {

namespace {

// From XP SP2 on, so looked up at run time: Windows 2000 must still load
// zorvane.exe.
using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);

template <typename Function>
Function kernel32Procedure(const char* name)
{
    return win32::procedure<Function>(GetModuleHandleW(L"kernel32.dll"), name);
}

// "D:P(A;OICI;FA;;;<user>)(A;OICI;FA;;;SY)": the folder and what it holds
// are the current user's and the system's alone, inheriting nothing.
std::optional<std::wstring> privateFolderSddl()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::nullopt;
    win32::UniqueHandle owned(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        return std::nullopt;
    LPWSTR sidText = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sidText))
        return std::nullopt;
    win32::UniqueLocal ownedText(sidText);
    return std::wstring(L"D:P(A;OICI;FA;;;") + sidText + L")(A;OICI;FA;;;SY)";
}

class Win32RelaunchSystem : public RelaunchSystem {
public:
    bool runsUnderWow64() override
    {
        const auto isWow64 = kernel32Procedure<IsWow64ProcessFunction>("IsWow64Process");
        BOOL wow64 = FALSE;
        return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
    }

    std::span<const std::uint8_t> embeddedImage() override
    {
        HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_CLIENT64), MAKEINTRESOURCEW(10));  // RT_RCDATA
        HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
        const void* bytes = loaded ? LockResource(loaded) : nullptr;
        if (!bytes)
            return {};
        return {static_cast<const std::uint8_t*>(bytes), SizeofResource(nullptr, found)};
    }

    std::optional<std::u16string> createPrivateFolder() override
    {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
        const auto sddl = privateFolderSddl();
        if (length == 0 || length > MAX_PATH || !sddl)
            return std::nullopt;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl->c_str(), SDDL_REVISION_1, &descriptor,
                                                                  nullptr))
            return std::nullopt;
        win32::UniqueLocal ownedDescriptor(descriptor);
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        // A name taken by anyone else is skipped: only a folder this call
        // creates is known to be private.
        const DWORD seed = GetCurrentProcessId() ^ GetTickCount();
        for (DWORD attempt = 0; attempt < 100; ++attempt) {
            wchar_t name[32];
            wsprintfW(name, L"zorvane-%08lx", static_cast<unsigned long>(seed + attempt * 0x9E3779B9u));
            const std::wstring folder = std::wstring(temp, length) + name;
            if (CreateDirectoryW(folder.c_str(), &attributes))
                return win32::fromWide(folder.c_str(), folder.size());
            if (GetLastError() != ERROR_ALREADY_EXISTS)
                return std::nullopt;
        }
        return std::nullopt;
    }

    bool writeNewFile(const std::u16string& path, std::span<const std::uint8_t> bytes) override
    {
        win32::UniqueFileHandle file(
            CreateFileW(win32::wide(path), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return false;
        DWORD written = 0;
        return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size() && FlushFileBuffers(file.get());
    }

    std::optional<std::vector<std::uint8_t>> readWholeFile(const std::u16string& path) override
    {
        win32::UniqueFileHandle file(CreateFileW(win32::wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 0x7fffffff)
            return std::nullopt;
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        if (!bytes.empty() && (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                               read != bytes.size()))
            return std::nullopt;
        return bytes;
    }

    std::optional<std::uint32_t> runAndWait(const std::u16string& program, const std::u16string& commandLine) override
    {
        std::wstring line(win32::wide(commandLine), commandLine.size());
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(win32::wide(program), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &started))
            return std::nullopt;
        win32::UniqueHandle process(started.hProcess);
        win32::UniqueHandle thread(started.hThread);
        DWORD exitCode = 0;
        if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process.get(), &exitCode))
            return std::nullopt;
        return exitCode;
    }

    bool deleteFile(const std::u16string& path) override
    {
        // The image of a process that just ended can stay mapped a moment.
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (DeleteFileW(win32::wide(path)) || GetLastError() == ERROR_FILE_NOT_FOUND)
                return true;
            Sleep(50);
        }
        return false;
    }

    bool removeFolder(const std::u16string& path) override { return RemoveDirectoryW(win32::wide(path)); }
};

}  // namespace

std::unique_ptr<RelaunchSystem> makeRelaunchSystem() { return std::make_unique<Win32RelaunchSystem>(); }

}  // namespace zorvane::client
