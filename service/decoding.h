#pragma once
// Decoding of the two requests. Nothing here trusts the client: every
// length is capped before memory is committed to it, and every deviation
// from the wire format gives a rejection with a one-line reason.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/columns.h"
#include "service/rejection.h"
#include "service/store.h"

namespace zorvane::service {

struct Limits {
    std::size_t maxBodyBytes = 8u << 20;
    // Per compressed field, after inflating.
    std::size_t maxInflatedBytes = 32u << 20;
    std::size_t maxRecords = 50000;
    // Elements of all "moduleList" values of one submission together, and of
    // one record's. Each element is stored and shows in every page and
    // export of the report (with the path of the file it names), so a few
    // kilobytes of commas or repeated ids must not become a report of many
    // megabytes. A Windows process loads hundreds of modules, rarely more
    // than a thousand.
    std::size_t maxModuleEntries = 100000;
    std::size_t maxModulesPerRecord = 4096;
};

// The "md5s" field of an initialise body: one entry per record, 32
// lower-case hex digits, or empty for the placeholder digest.
Expected<std::vector<std::string>> decodeInitialise(std::string_view body, const Limits& limits);

// The scan id that a submit body names in "scan_id"; checked against the
// request path before the scan is looked up.
Expected<std::string> submittedScanId(std::string_view body);

// Decodes a submit body against the scan that its initialise request made:
// the scan line, the static lines (the facts of each file the scan did not
// know) and the dynamic lines (one process per record).
Expected<Submission> decodeSubmit(std::string_view body, const InitialisedScan& scan, const Limits& limits);

}  // namespace zorvane::service
