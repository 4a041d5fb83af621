// Stands in for anything a results address could make the shell start: when
// run, it appends its command line to the file that ZORVANE_LAUNCH_MARKER
// names (inherited from the test that started the chain), or else to
// launch_recorder.ran beside itself, so a test can prove nothing was opened.
#include <windows.h>

#include <string>

#include "client/win32/unique.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    wchar_t path[MAX_PATH];
    std::wstring marker;
    DWORD length = GetEnvironmentVariableW(L"ZORVANE_LAUNCH_MARKER", path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        marker.assign(path, length);
    } else {
        length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        marker.assign(path, length);
        marker.resize(marker.find_last_of(L"\\/") + 1);
        marker += L"launch_recorder.ran";
    }
    const zorvane::win32::UniqueFileHandle file(CreateFileW(marker.c_str(), FILE_APPEND_DATA,
                                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 1;
    const std::wstring line = std::wstring(GetCommandLineW()) + L"\n";
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    return 0;
}
