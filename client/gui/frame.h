#pragma once

#include <windows.h>

namespace zorvane::client {

// Creates the frame window. True when it exists.
bool createFrame();
// The frame window, or null before createFrame.
HWND frameWindow();

}  // namespace zorvane::client
