#pragma once

#include <vector>

#include "core/scan/record.h"

namespace zorvane::client {

// Runs the two server exchanges for a finished scan over WinINet, with the
// progress page and the frame as its view. True when the results address
// was received.
bool exchangeScanResults(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord);

}  // namespace zorvane::client
