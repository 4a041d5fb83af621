// Program entry: run settings, single-instance guard, the wizard (frame,
// pages, text styles) and its message loop.
#include <windows.h>

#include <optional>

#include "client/app/command_line_win32.h"
#include "client/app/relaunch_win32.h"
#include "client/app/user_interface.h"
#include "client/gui/frame.h"
#include "client/scan/worker.h"
#include "client/win32/fs_redirection.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/app/command_line.h"
#include "core/base/string_ids.h"

using namespace zorvane;

namespace {

// Empty when another copy of the program holds the mutex (possibly under
// another user, which shows as access denied). Any other failure to create
// it is no sign of another copy: the program runs without the guard.
std::optional<win32::UniqueHandle> takeSingleInstanceMutex()
{
    SetLastError(0);
    win32::UniqueHandle mutex(CreateMutexW(nullptr, TRUE, L"Global\\Zorvane GUI Process"));
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED)
        return std::nullopt;
    return mutex;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
#if !defined(_WIN64)
    // On 64-bit Windows the carried 64-bit client does the run, before this
    // copy takes the single-instance guard that the child takes in turn.
    const RelaunchResult relaunch =
        relaunchAs64Bit(*client::makeRelaunchSystem(), win32::fromWide(GetCommandLineW()));
    if (relaunch.outcome == RelaunchResult::Outcome::Ran)
        return static_cast<int>(relaunch.exitCode);
    if (relaunch.outcome == RelaunchResult::Outcome::Failed)
        win32::setScanWithoutRedirection();
#endif
    const RunSettings settings = readCommandLine(client::splitCommandLine(GetCommandLineW()));

    std::optional<win32::UniqueHandle> mutex = takeSingleInstanceMutex();
    if (!mutex) {
        const std::u16string caption = win32::loadText(instance, text::kErrorCaption);
        const std::u16string message = win32::loadText(instance, text::kAlreadyScanning);
        MessageBoxW(nullptr, win32::wide(message), win32::wide(caption), MB_OK);
        return 1;
    }

    client::GuiCommon gui(instance, settings);
    gui.setWorkerRoutine(client::scanThreadMain);
    if (!client::startUserInterface(gui))
        return 1;
    client::runMessageLoop(gui);

    mutex.reset();
    return 0;
}
