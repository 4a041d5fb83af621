#pragma once

#include <string>
#include <vector>

namespace zorvane::client {

// Splits the program's command line the way the shell does. Empty when the
// split fails, so no option applies.
std::vector<std::u16string> splitCommandLine(const wchar_t* commandLine);

}  // namespace zorvane::client
