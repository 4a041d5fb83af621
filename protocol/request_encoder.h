#pragma once
// Turns a finished scan into the form fields of the initialise and submit
// requests. Runs on the scan worker after the records are complete; nothing
// else touches the records meanwhile.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/record.h"
#include "protocol/columns.h"
#include "protocol/form_fields.h"

namespace zorvane::protocol {

class RequestEncoder {
public:
    // Full path to static id, rebuilt by every buildSubmitFields. The later
    // record of two with the same full path wins.
    std::map<std::u16string, std::u16string> pathToStaticId;
};

// 16 bytes from 32 hex digits, high nibble first. A digit up to "9" counts
// its code minus 0x30, any other character its code minus 0x57 (so "a" to
// "f" give 10 to 15), in 8-bit arithmetic. Reads at most 32 characters;
// missing characters count as "0".
std::array<std::uint8_t, 16> hexDigestToBytes(std::u16string_view hex);

// Sets "md5s" to the 16-byte MD5 digests of the records in scan order (the
// placeholder digest for a record without one). The field is not yet encoded.
void buildInitialiseFields(const std::vector<ProcessRecord>& processList, FormFields& fields);

// Encodes every field except "scan_id" and "static_ids" in place: base64url
// of the value, or, with compression, base64url of its zlib stream at level
// 9. False when the container is empty or zlib fails (or memory runs out);
// fields are then partly encoded and must not be sent.
bool encodeFields(FormFields& fields, bool compress);

// The scan record's "status", "last_access" and "processed"; every
// record's "dynCount" and "scanId"; the server references of unknown records.
void prepareRecordsForSubmit(ProcessRecord& scanRecord, std::vector<ProcessRecord>& processList);

// Rewrites a comma-separated list of full paths into the static ids the
// encoder's map holds for them; a path not in the map gives an empty id (and
// is added to the map with one).
std::u16string mapModuleList(RequestEncoder& encoder, std::u16string_view moduleList);

// Prepares the records and returns the five submit fields: "input",
// "input_static" and "input_dynamic" as raw text, "scan_id" and "static_ids"
// final. The scan record's "processDataProcessed" makes a second build over
// the same records leave the abbreviated values and module lists alone.
FormFields buildSubmitFields(RequestEncoder& encoder, ProcessRecord& scanRecord,
                             std::vector<ProcessRecord>& processList);

// The submit request target. A template without "%" is returned unchanged.
// Otherwise the first "%s" becomes the scan id, "%%" becomes "%" and any
// other "%" stays as it is; the template is never used as a printf format.
// Empty when the result would exceed 2047 characters.
std::optional<std::u16string> submitTarget(std::u16string_view pathTemplate, std::u16string_view scanId);

}  // namespace zorvane::protocol
