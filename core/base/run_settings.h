#pragma once
// The run settings: filled once from the command line at start-up, read-only
// afterwards from any thread.

#include <cstdint>
#include <string>

namespace zorvane {

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

}  // namespace zorvane
