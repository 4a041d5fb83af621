// The PrivilegeEnabler: advapi32's token functions, looked up at run time so
// that a system without them scans without the privileges.
#include <windows.h>

#include "client/scan/adapters.h"
#include "client/win32/procedure.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/scan/process_system.h"

namespace zorvane::client {

namespace {

using LookupPrivilegeValueFunction = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, PLUID);
using AdjustTokenPrivilegesFunction = BOOL(WINAPI*)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES,
                                                    PDWORD);
using OpenProcessTokenFunction = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);

class PrivilegeEnabler : public PrivilegeSystem {
public:
    PrivilegeEnabler() : advapi32_(LoadLibraryW(L"advapi32.dll"))
    {
        if (!advapi32_)
            return;
        lookupPrivilegeValue_ =
            win32::procedure<LookupPrivilegeValueFunction>(advapi32_.get(), "LookupPrivilegeValueW");
        adjustTokenPrivileges_ =
            win32::procedure<AdjustTokenPrivilegesFunction>(advapi32_.get(), "AdjustTokenPrivileges");
        openProcessToken_ = win32::procedure<OpenProcessTokenFunction>(advapi32_.get(), "OpenProcessToken");
        usable_ = lookupPrivilegeValue_ && adjustTokenPrivileges_ && openProcessToken_;
    }

    // True only when the privilege is held and now enabled: AdjustTokenPrivileges
    // also succeeds for a privilege the token lacks, with ERROR_NOT_ALL_ASSIGNED.
    bool enablePrivilege(const std::u16string& name) override
    {
        if (!usable_)
            return false;
        win32::UniqueHandle token;
        if (!openProcessToken_(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put()))
            return false;
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (!lookupPrivilegeValue_(nullptr, win32::wide(name), &privileges.Privileges[0].Luid))
            return false;
        SetLastError(ERROR_SUCCESS);
        if (!adjustTokenPrivileges_(token.get(), FALSE, &privileges, sizeof privileges, nullptr, nullptr))
            return false;
        return GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    }

private:
    win32::UniqueLibrary advapi32_;
    LookupPrivilegeValueFunction lookupPrivilegeValue_ = nullptr;
    AdjustTokenPrivilegesFunction adjustTokenPrivileges_ = nullptr;
    OpenProcessTokenFunction openProcessToken_ = nullptr;
    bool usable_ = false;
};

}  // namespace

std::unique_ptr<PrivilegeSystem> makePrivilegeSystem() { return std::make_unique<PrivilegeEnabler>(); }

}  // namespace zorvane::client
