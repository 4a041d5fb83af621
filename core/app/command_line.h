#pragma once
// The command-line rules of the client.

#include <string>
#include <vector>

#include "core/base/run_settings.h"

namespace zorvane {

// Applies the command-line rules to the split argument list (the program's
// own path included, as the first element). Options are case-sensitive
// prefix tests; unknown elements are ignored.
RunSettings readCommandLine(const std::vector<std::u16string>& arguments);

}  // namespace zorvane
