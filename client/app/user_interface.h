#pragma once
// The wizard's start and its message loop.

#include <windows.h>

namespace zorvane::client {

class GuiCommon;

// Registers the progress-bar class and creates the frame of `gui`. False
// when the frame cannot be made.
bool startUserInterface(GuiCommon& gui);
// Hands every message to the frame's dialog manager until the frame posts
// the quit message.
void runMessageLoop(const GuiCommon& gui);

}  // namespace zorvane::client
