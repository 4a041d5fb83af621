#pragma once
// The wizard's start and its message loop.

#include <windows.h>

namespace zorvane::client {

// Creates the text styles, keeps the instance and its icon (136), registers
// the progress-bar class and creates the frame. False, with the styles
// released again, when the frame cannot be made.
bool startUserInterface(HINSTANCE instance);
// Hands every message to the frame's dialog manager until the frame posts
// the quit message.
void runMessageLoop();

}  // namespace zorvane::client
