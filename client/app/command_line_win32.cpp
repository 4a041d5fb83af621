#include "client/app/command_line_win32.h"

#include <windows.h>
#include <shellapi.h>

#include "client/win32/unique.h"
#include "client/win32/wide.h"

namespace zorvane::client {

std::vector<std::u16string> splitCommandLine(const wchar_t* commandLine)
{
    std::vector<std::u16string> arguments;
    int count = 0;
    LPWSTR* elements = CommandLineToArgvW(commandLine, &count);
    if (elements == nullptr)
        return arguments;
    win32::UniqueLocal owner(reinterpret_cast<HLOCAL>(elements));
    for (int i = 0; i < count; ++i)
        arguments.push_back(win32::fromWide(elements[i]));
    return arguments;
}

}  // namespace zorvane::client
