#pragma once

#include <windows.h>

#include "core/exchange/frame_notifier.h"
#include "core/scan/progress.h"

namespace zorvane::client {

// Creates the frame window. True when it exists.
bool createFrame();
// The frame window, or null before createFrame.
HWND frameWindow();
// The progress page as the worker sees it.
ProgressView& progressView();
// The frame as the exchange driver sees it.
FrameNotifier& frameNotifier();

}  // namespace zorvane::client
