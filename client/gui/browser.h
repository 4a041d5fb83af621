#pragma once
// Opening addresses in the user's browser. Safe on any thread; keeps no
// state between calls.

#include <string>

namespace zorvane::client {

// Opens a web address through the shell, or failing that with the browser
// registered for "http". Only addresses that isWebAddress accepts are
// opened; anything else is ignored, as are all failures.
void openAddress(const std::u16string& address);

// The program of the registered "http" open command, or "iexplore.exe"
// when the key cannot be opened or its value cannot be read in full (a
// command longer than 130 characters is not cut into another program).
std::u16string defaultBrowserProgram();

}  // namespace zorvane::client
