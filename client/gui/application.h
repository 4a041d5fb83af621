#pragma once
// Process-wide values set by the program entry before any other thread
// exists, and read-only afterwards.

#include <windows.h>

#include "core/base/run_settings.h"

namespace zorvane::client {

const RunSettings& runSettings();
void setRunSettings(const RunSettings& settings);

HINSTANCE instance();
void setInstance(HINSTANCE instance);

HICON programIcon();
void setProgramIcon(HICON icon);

}  // namespace zorvane::client
