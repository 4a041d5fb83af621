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

// Creates the text styles, keeps the instance and its icon (136), registers
// the progress-bar class and creates the frame. False, with the styles
// released again, when the frame cannot be made.
bool startUserInterface(HINSTANCE instance);
// Hands every message to the frame's dialog manager until the frame posts
// the quit message.
void runMessageLoop();

// Splits the program's command line the way the shell does. Empty when the
// split fails, so no option applies.
std::vector<std::u16string> splitCommandLine(const wchar_t* commandLine);

}  // namespace zorvane::client
