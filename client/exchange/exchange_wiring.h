#pragma once

#include <vector>

#include "core/base/clock.h"
#include "core/base/record.h"

namespace zorvane::client {

class GuiCommon;

// Runs the two server exchanges for a finished scan over WinINet, with the
// progress page and the frame as its view and the scan's clock. True when
// the results address was received.
bool exchangeScanResults(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord, Clock& clock,
                         GuiCommon& gui);

}  // namespace zorvane::client
