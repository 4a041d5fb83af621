#pragma once
// What changed on one machine between two of its scans. The comparison is
// made when a scan is submitted, against the same machine's previous
// submitted scan, and kept with the scan: a report shows it even once the
// previous scan is gone, and links to that scan only while it is kept.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane::service {

struct DigestChange {
    std::string path;
    std::string before;  // MD5 in the previous scan
    std::string after;   // MD5 in this scan
};

struct ScanChange {
    std::string previousScanId;
    std::string previousSubmittedAt;
    // Whether the previous scan is still kept; set when a report is read.
    bool previousKept = false;
    // Process images (full paths) running now and not before, and the other
    // way round.
    std::vector<std::string> started;
    std::vector<std::string> gone;
    // Files this machine never sent before this scan, by file id.
    std::vector<std::int64_t> newFiles;
    std::vector<DigestChange> digestChanged;
    // "path (location)" of startup entries, and "image port|CLASS" of
    // open ports, present now and not before.
    std::vector<std::string> newStartup;
    std::vector<std::string> newPorts;

    bool isNewFile(std::int64_t fileId) const;
};

// What the comparison needs of one record of a scan.
struct RecordFacts {
    std::string path;  // "directory\\name"
    std::string md5;   // empty for a record without a digest
    bool process = false;
    std::string startupEntry;  // "path (location)", or empty
    std::string ports;         // "net.NetworkPorts"
};

// The change from `before` to `after` (files new to the machine are the
// store's to fill in). Paths compare without regard to ASCII case.
ScanChange compareScans(const std::vector<RecordFacts>& before, const std::vector<RecordFacts>& after);

// How a change is kept with its scan, and read back; none for a text that
// is not one.
std::string changeToJson(const ScanChange& change);
std::optional<ScanChange> changeFromJson(std::string_view text);

}  // namespace zorvane::service
