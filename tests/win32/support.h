#pragma once
// Helpers for the Windows tests: start a program of the build tree, find its
// windows, wait for it to end.

#include <windows.h>

#include <optional>
#include <string>

#include "client/win32/unique.h"

namespace zorvane::testing {

struct RunningProgram {
    win32::UniqueHandle process;
    DWORD processId = 0;
};

// Starts `program` (a path relative to the build tree or absolute) with the
// given argument text. Empty result when it cannot be started.
std::optional<RunningProgram> startProgram(const std::wstring& program, const std::wstring& arguments);

// The full path of `relative` (backslashes) inside the build tree.
std::wstring buildTreePath(const std::wstring& relative);

// The full path of zorvane.exe in the build tree.
std::wstring zorvaneExe();
// The full path of a test program built from tests/win32/programs/<name>.cpp.
std::wstring testProgram(const std::wstring& name);

// Polls for a top-level window of the given process (any process when 0)
// with this class (null: any) and title, for up to `timeoutMs`.
HWND waitForWindow(DWORD processId, const wchar_t* className, const wchar_t* title, DWORD timeoutMs);

// The child dialog (wizard page) of `frame` that holds the control `control`
// (1011 start, 1000 progress, 1030 result page), or null.
HWND pageWith(HWND frame, int control);

// Polls `condition` every 50 ms until it holds or `timeoutMs` has passed.
template <typename Condition>
bool waitFor(Condition condition, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

// Waits for the program to end; its exit code, or none on timeout.
std::optional<DWORD> waitForExit(const RunningProgram& program, DWORD timeoutMs);

// Ends the program if it still runs (best effort, for test clean-up).
void stopProgram(RunningProgram& program);

}  // namespace zorvane::testing
