#pragma once

#include <windows.h>

namespace zorvane::client {

// The scan worker thread: the whole scan, then the server exchange. The
// frame starts it with CreateThread; the parameter is unused. Result 0.
DWORD WINAPI scanThreadMain(LPVOID);

}  // namespace zorvane::client
