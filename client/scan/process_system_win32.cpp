// Processes and modules through psapi. Where EnumProcessModulesEx exists
// (Vista on) it lists every module: from the 64-bit client a 32-bit process
// shows its 32-bit modules too, under their real SysWOW64 paths, where
// EnumProcessModules would list only its 64-bit ones.
#define PSAPI_VERSION 1  // psapi.dll's exports, present on every supported system
#include <windows.h>
#include <psapi.h>

#include <vector>

#include "client/scan/adapters.h"
#include "client/win32/procedure.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/scan/process_system.h"

namespace zorvane::client {

namespace {

using EnumProcessModulesExFunction = BOOL(WINAPI*)(HANDLE, HMODULE*, DWORD, LPDWORD, DWORD);
constexpr DWORD kListModulesAll = 0x03;

// kernel32 has it from Windows 7 on (as K32EnumProcessModulesEx), psapi from
// Vista on; psapi is loaded already, as this file imports from it.
EnumProcessModulesExFunction enumProcessModulesEx()
{
    static const EnumProcessModulesExFunction function = [] {
        auto found = win32::procedure<EnumProcessModulesExFunction>(GetModuleHandleW(L"kernel32.dll"),
                                                                    "K32EnumProcessModulesEx");
        if (!found)
            found = win32::procedure<EnumProcessModulesExFunction>(GetModuleHandleW(L"psapi.dll"),
                                                                   "EnumProcessModulesEx");
        return found;
    }();
    return function;
}

class Win32ProcessHandle : public ProcessHandle {
public:
    explicit Win32ProcessHandle(win32::UniqueHandle process) : process_(std::move(process)) {}

    std::optional<std::vector<ModuleHandle>> enumProcessModules(std::size_t capacity) override
    {
        std::vector<HMODULE> modules(capacity);
        DWORD needed = 0;
        const auto bytes = static_cast<DWORD>(capacity * sizeof(HMODULE));
        const auto listAll = enumProcessModulesEx();
        if (listAll ? !listAll(process_.get(), modules.data(), bytes, &needed, kListModulesAll)
                    : !EnumProcessModules(process_.get(), modules.data(), bytes, &needed))
            return std::nullopt;
        // `needed` counts every module, including those that did not fit.
        const std::size_t count = std::min<std::size_t>(needed / sizeof(HMODULE), capacity);
        std::vector<ModuleHandle> handles;
        handles.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            handles.push_back(reinterpret_cast<ModuleHandle>(modules[i]));
        return handles;
    }

    std::optional<std::u16string> moduleFileName(ModuleHandle module, std::size_t capacity) override
    {
        std::vector<wchar_t> name(capacity);
        const DWORD length = GetModuleFileNameExW(process_.get(), reinterpret_cast<HMODULE>(module), name.data(),
                                                  static_cast<DWORD>(capacity));
        if (length == 0)
            return std::nullopt;
        return win32::fromWide(name.data(), std::min<std::size_t>(length, capacity));
    }

private:
    win32::UniqueHandle process_;
};

class Win32ProcessSystem : public ProcessSystem {
public:
    std::optional<std::vector<std::uint32_t>> enumProcesses(std::size_t capacity) override
    {
        std::vector<DWORD> ids(capacity);
        DWORD bytes = 0;
        if (!EnumProcesses(ids.data(), static_cast<DWORD>(capacity * sizeof(DWORD)), &bytes))
            return std::nullopt;
        ids.resize(std::min<std::size_t>(bytes / sizeof(DWORD), capacity));
        return std::vector<std::uint32_t>(ids.begin(), ids.end());
    }

    std::unique_ptr<ProcessHandle> openProcess(std::uint32_t processId) override
    {
        win32::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
        if (!process)
            return nullptr;
        return std::make_unique<Win32ProcessHandle>(std::move(process));
    }
};

}  // namespace

std::unique_ptr<ProcessSystem> makeProcessSystem() { return std::make_unique<Win32ProcessSystem>(); }

}  // namespace zorvane::client
