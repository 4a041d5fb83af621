#pragma once
// Portable rules for handing addresses to the browser.

#include <string>
#include <string_view>

namespace zorvane {

// The program named by a registered "open" command text: the text between
// a leading double quote and the next one (or the end), otherwise the text
// up to the first blank (U+0020). An empty command gives an empty program.
std::u16string browserProgramFromCommand(std::u16string_view commandText);

// True only for addresses that begin with "http://" or "https://" (ASCII
// letters in any case) and hold no blank, double quote or control
// character. Anything else (a local path, a share, another scheme, extra
// arguments for the browser's command line) must never reach the shell:
// the results address comes from the service over plain HTTP and may be
// spoofed.
bool isWebAddress(std::u16string_view address);

// The agreement page: plain HTTP on the service's default host.
std::u16string agreementAddress();

}  // namespace zorvane
