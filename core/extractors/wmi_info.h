#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "core/extractors/path_operations.h"
#include "core/scan/clock.h"
#include "core/scan/info_extractor.h"

namespace zorvane {

// The operating-system side: one WMI connection and its queries.
class WmiQuery {
public:
    virtual ~WmiQuery() = default;
};

// Scan-wide facts, per-process WMI values and startup commands.
class WMIInfoExtractor : public InfoExtractor {
public:
    using Table = std::map<std::u16string, std::u16string>;

    WMIInfoExtractor(WmiQuery& wmi, PathOperations& paths, Clock& clock)
        : InfoExtractor("wmi"), wmi_(wmi), paths_(paths), clock_(clock)
    {
    }

    // Placeholder until WMI lands: succeeds with an empty table.
    bool collectScanWide() { return true; }
    const Table& scanWideTable() const { return scanWide_; }
    const std::set<std::u16string>& extraFiles() const { return extraFiles_; }
    std::int64_t ownPeakWorkingSetSize() { return -1; }

private:
    [[maybe_unused]] WmiQuery& wmi_;
    [[maybe_unused]] PathOperations& paths_;
    [[maybe_unused]] Clock& clock_;
    Table scanWide_;
    std::set<std::u16string> extraFiles_;
};

}  // namespace zorvane
