#pragma once
// The run settings: filled once from the command line at start-up, read-only
// afterwards from any thread.

#include <cstdint>
#include <string>
#include <vector>

namespace zorvane {

#ifndef ZORVANE_DEFAULT_HOST
#define ZORVANE_DEFAULT_HOST "localhost"
#endif

// The service host used when "/host=" is not given (a build-time setting).
std::u16string defaultHostName();

struct RunSettings {
    std::u16string host = defaultHostName();
    std::int32_t port = 80;
    std::u16string submitPathTemplate = u"corvelle/%s/submitscan";
    std::u16string initialisePath = u"corvelle/initialisescan";
    std::int32_t recordLimit = -1;  // negative: no limit
    bool unattended = false;        // "/skipfast"
    bool openBrowser = true;        // cleared by "/nobrowser"

    bool operator==(const RunSettings&) const = default;
};

// Applies the command-line rules to the split argument list (the program's
// own path included, as the first element). Options are case-sensitive
// prefix tests; unknown elements are ignored.
RunSettings readCommandLine(const std::vector<std::u16string>& arguments);

}  // namespace zorvane
