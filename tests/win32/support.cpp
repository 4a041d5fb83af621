#include "support.h"

#include <vector>

namespace zorvane::testing {

namespace {

std::wstring moduleDirectory()
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring full(path, length);
    const auto slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : full.substr(0, slash);
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (search->processId != 0 && owner != search->processId)
        return TRUE;
    if (search->className) {
        wchar_t name[256];
        if (GetClassNameW(window, name, 256) == 0 || lstrcmpW(name, search->className) != 0)
            return TRUE;
    }
    if (search->title) {
        wchar_t text[512];
        GetWindowTextW(window, text, 512);
        if (lstrcmpW(text, search->title) != 0)
            return TRUE;
    }
    search->found = window;
    return FALSE;
}

struct PageSearch {
    HWND frame;
    int control;
    HWND found;
};

BOOL CALLBACK matchPage(HWND child, LPARAM parameter)
{
    auto* search = reinterpret_cast<PageSearch*>(parameter);
    if (GetParent(child) == search->frame && GetDlgItem(child, search->control) != nullptr) {
        search->found = child;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND pageWith(HWND frame, int control)
{
    PageSearch search{frame, control, nullptr};
    EnumChildWindows(frame, matchPage, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::wstring buildTreePath(const std::wstring& relative)
{
    // The test program lives in <build>/tests/win32.
    std::wstring dir = moduleDirectory();
    for (int up = 0; up < 2; ++up) {
        const auto slash = dir.find_last_of(L"\\/");
        if (slash != std::wstring::npos)
            dir.resize(slash);
    }
    return dir + L"\\" + relative;
}

// zorvane.exe in the 32-bit tree, zorvane64.exe in the 64-bit one.
std::wstring zorvaneExe() { return buildTreePath(L"" ZORVANE_EXE_NAME); }

std::wstring testProgram(const std::wstring& name) { return buildTreePath(L"test-programs\\" + name + L".exe"); }

std::optional<RunningProgram> startProgram(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + program + L"\"";
    if (!arguments.empty())
        commandLine += L" " + arguments;
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info))
        return std::nullopt;
    const win32::UniqueHandle thread(info.hThread);
    RunningProgram running;
    running.process.reset(info.hProcess);
    running.processId = info.dwProcessId;
    return running;
}

HWND waitForWindow(DWORD processId, const wchar_t* className, const wchar_t* title, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    do {
        WindowSearch search{processId, className, title, nullptr};
        EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found)
            return search.found;
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

std::optional<DWORD> waitForExit(const RunningProgram& program, DWORD timeoutMs)
{
    if (WaitForSingleObject(program.process.get(), timeoutMs) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(program.process.get(), &code);
    return code;
}

void stopProgram(RunningProgram& program)
{
    if (program.process && WaitForSingleObject(program.process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(program.process.get(), 99);
        WaitForSingleObject(program.process.get(), 5000);
    }
}

}  // namespace zorvane::testing
