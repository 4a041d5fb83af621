#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/clock.h"
#include "core/extractors/info_extractor.h"
#include "core/extractors/path_operations.h"

namespace zorvane {

// One object of a query: property name -> text, ordered by name.
using WmiObject = std::map<std::u16string, std::u16string>;
using WmiObjects = std::vector<WmiObject>;

// The operating-system side: one connection to "ROOT\CIMV2" and its queries.
// Everything runs on the thread that calls `connect`, which initialises COM
// there (apartment-threaded) and keeps it initialised until the query object
// is destroyed. Diagnostic texts go to the trace hook.
class WmiQuery {
public:
    virtual ~WmiQuery() = default;
    // Sets up COM, security and the locator (once), connects and sets the
    // proxy blanket. False when any step fails.
    virtual bool connect() = 0;
    // Runs one WQL query. Each returned object holds exactly the listed
    // properties; one that is missing, null or of an unhandled type is
    // present with an empty text. None when the query cannot be run.
    virtual std::optional<WmiObjects> run(const std::u16string& query,
                                          const std::vector<std::u16string>& properties) = 0;
    // The id of the calling process.
    virtual std::uint32_t currentProcessId() = 0;
};

// The priority class for a base priority text: 0..31 map to "1".."11"; empty
// or non-numeric text reads as 0; anything else keeps its text.
std::u16string priorityClass(const std::u16string& basePriority);

// Scan-wide facts, per-process WMI values and startup commands.
class WMIInfoExtractor : public InfoExtractor {
public:
    using Table = std::map<std::u16string, std::u16string>;

    WMIInfoExtractor(WmiQuery& wmi, PathOperations& paths, Clock& clock);

    // Connects and runs the scan-wide queries. False when the connection or
    // the processor query fails; the scan cannot go on then.
    bool collectScanWide();
    const Table& scanWideTable() const { return scanWide_; }
    // Resolved paths of the startup commands, to be scanned as well.
    const std::set<std::u16string>& extraFiles() const { return extraFiles_; }
    // The scanner's own peak working set as WMI reports it; -1 when unknown.
    std::int64_t ownPeakWorkingSetSize();

    // The "wmi." values of the process, from the process list.
    void onProcess(std::uint32_t processId) override;
    // The startup keys, when a startup command resolved to exactly this path.
    void extract(const std::u16string& path) override;

private:
    void collectProcessors(const WmiObjects& processors);
    void resolveStartupEntry(WmiObject& entry);
    void deriveClientIds();

    WmiQuery& wmi_;
    PathOperations& paths_;
    Clock& clock_;
    WmiObjects processes_;
    WmiObjects startup_;
    Table scanWide_;
    std::set<std::u16string> extraFiles_;
};

}  // namespace zorvane
