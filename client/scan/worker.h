#pragma once

#include <windows.h>

namespace zorvane::client {

// The scan worker thread: the whole scan, then the server exchange. The
// frame starts it with CreateThread; the parameter is the frame's
// GuiCommon. Result 0.
DWORD WINAPI scanThreadMain(LPVOID parameter);

}  // namespace zorvane::client
