#pragma once
// Process-wide values set by the program entry before any other thread
// exists, and read-only afterwards.

#include <windows.h>

#include "core/app/run_settings.h"

namespace zorvane::client {

const RunSettings& runSettings();
void setRunSettings(const RunSettings& settings);

HINSTANCE instance();
void setInstance(HINSTANCE instance);

HICON programIcon();
void setProgramIcon(HICON icon);

// Splits the program's command line the way the shell does. Empty when the
// split fails, so no option applies.
std::vector<std::u16string> splitCommandLine(const wchar_t* commandLine);

}  // namespace zorvane::client
