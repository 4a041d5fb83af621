// Processes and modules through psapi.
#define PSAPI_VERSION 1  // psapi.dll's exports, present on every supported system
#include <windows.h>
#include <psapi.h>

#include <vector>

#include "client/win32/adapters.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/scan/process_system.h"

namespace zorvane::client {

namespace {

class Win32ProcessHandle : public ProcessHandle {
public:
    explicit Win32ProcessHandle(win32::UniqueHandle process) : process_(std::move(process)) {}

    std::optional<std::vector<ModuleHandle>> enumProcessModules(std::size_t capacity) override
    {
        std::vector<HMODULE> modules(capacity);
        DWORD needed = 0;
        if (!EnumProcessModules(process_.get(), modules.data(), static_cast<DWORD>(capacity * sizeof(HMODULE)),
                                &needed))
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
