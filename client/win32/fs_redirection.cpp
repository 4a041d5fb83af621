#include "client/win32/fs_redirection.h"

#include <windows.h>

#include <atomic>

#include "client/win32/procedure.h"

namespace zorvane::win32 {

namespace {

// From XP x64 and Server 2003 SP1 on; Windows 2000 must still load
// zorvane.exe, so they are looked up at run time.
using Wow64DisableFunction = BOOL(WINAPI*)(PVOID*);
using Wow64RevertFunction = BOOL(WINAPI*)(PVOID);

std::atomic<bool> gScanWithoutRedirection{false};

template <typename Function>
Function kernel32Procedure(const char* name)
{
    return procedure<Function>(GetModuleHandleW(L"kernel32.dll"), name);
}

}  // namespace

void setScanWithoutRedirection() { gScanWithoutRedirection = true; }

bool scanWithoutRedirection() { return gScanWithoutRedirection; }

RedirectionOff::RedirectionOff()
{
    if (!gScanWithoutRedirection)
        return;
    static const auto disable = kernel32Procedure<Wow64DisableFunction>("Wow64DisableWow64FsRedirection");
    disabled_ = disable && disable(&previous_);
}

RedirectionOff::~RedirectionOff()
{
    static const auto revert = kernel32Procedure<Wow64RevertFunction>("Wow64RevertWow64FsRedirection");
    if (disabled_ && revert)
        revert(previous_);
}

}  // namespace zorvane::win32
