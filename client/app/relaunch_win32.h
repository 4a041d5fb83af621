#pragma once
// The Win32 side of the hand-over to the carried 64-bit client.

#include <memory>

#include "core/app/relaunch.h"

namespace zorvane::client {

std::unique_ptr<RelaunchSystem> makeRelaunchSystem();

}  // namespace zorvane::client
