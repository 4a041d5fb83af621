#include "client/app/application.h"

#include <shellapi.h>

#include "client/win32/unique.h"
#include "client/win32/wide.h"

namespace zorvane::client {

namespace {
RunSettings gSettings;
HINSTANCE gInstance = nullptr;
HICON gIcon = nullptr;
}  // namespace

const RunSettings& runSettings() { return gSettings; }
void setRunSettings(const RunSettings& settings) { gSettings = settings; }
HINSTANCE instance() { return gInstance; }
void setInstance(HINSTANCE instance) { gInstance = instance; }
HICON programIcon() { return gIcon; }
void setProgramIcon(HICON icon) { gIcon = icon; }

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
