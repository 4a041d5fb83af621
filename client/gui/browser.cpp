#include "client/gui/browser.h"

#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/gui/browser.h"

#include <shellapi.h>

namespace zorvane::client {

void openAddress(const std::u16string& address)
{
    if (!isWebAddress(address))
        return;
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", win32::wide(address), nullptr, nullptr, SW_SHOW));
    if (result > 32)
        return;
    const std::u16string program = defaultBrowserProgram();
    ShellExecuteW(nullptr, L"open", win32::wide(program), win32::wide(address), nullptr, SW_SHOW);
}

std::u16string defaultBrowserProgram()
{
    const std::u16string fallback = u"iexplore.exe";
    win32::UniqueKey key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return fallback;
    wchar_t command[130] = {};
    DWORD size = sizeof command;
    DWORD type = REG_NONE;
    const LONG status =
        RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(command), &size);
    key.reset();
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return fallback;
    // The value need not carry its terminator; stop at the first one if it does.
    const std::u16string text = win32::fromWide(command, size / sizeof(wchar_t));
    return browserProgramFromCommand(std::u16string_view(text).substr(0, text.find(u'\0')));
}

}  // namespace zorvane::client
