// applyInitialiseReply over arbitrary reply bytes, read as the client reads
// them (widenLatin1), against a process list whose length comes from the
// first input byte. Checks the stated outcome of each result: a stored reply
// formats back to the same bytes; a refused one leaves the records as they
// were, apart from the three scan values when only the count differs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/base/record.h"
#include "fuzz/fuzz_input.h"
#include "protocol/field_text.h"
#include "protocol/initialise_reply.h"

using namespace zorvane;
using zorvane::fuzz::require;

namespace {

std::string valueOf(const ProcessRecord& record, std::string_view key)
{
    const std::u16string* value = record.find(key);
    return value == nullptr ? std::string() : narrowLatin1(*value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    const std::size_t recordCount = input.takeByte() % 64;
    const std::string replyBytes(input.rest());
    const std::u16string reply = widenLatin1(replyBytes);

    // Earlier values, so that a refused reply can be seen to leave them.
    std::vector<ProcessRecord> processList(recordCount);
    for (std::size_t k = 0; k < recordCount; ++k) {
        processList[k][keys::kStaticId] = u"old";
        processList[k][keys::kCorvUnknown] = u"1";
    }
    ProcessRecord scanRecord;
    scanRecord[keys::kScanId] = u"previous";
    const std::vector<ProcessRecord> processesBefore = processList;
    const ProcessRecord scanBefore = scanRecord;

    const bool applied = protocol::applyInitialiseReply(processList, scanRecord, reply);

    const std::vector<std::u16string> fields = protocol::splitText(reply, u'|');
    const bool wellFormed = fields.size() == 4 && protocol::isUsableScanId(fields[0]);
    if (!wellFormed) {
        require(!applied, "a reply without four fields or with an unusable scan id is refused");
        require(scanRecord == scanBefore, "a malformed reply stores nothing in the scan record");
        require(processList == processesBefore, "a malformed reply changes no process record");
        return 0;
    }
    require(valueOf(scanRecord, keys::kScanId) == narrowLatin1(fields[0]) &&
                valueOf(scanRecord, keys::kScanTime) == narrowLatin1(fields[2]) &&
                valueOf(scanRecord, keys::kClientIp) == narrowLatin1(fields[3]),
            "a well-formed reply stores its three scan values as they stand");
    require(scanRecord.size() == 3, "the scan record gains no other key");
    if (!applied) {
        require(protocol::splitText(fields[1], u',').size() != recordCount,
                "a well-formed reply is refused only for a wrong static id count");
        require(processList == processesBefore, "a wrong static id count changes no process record");
        return 0;
    }

    std::vector<std::string> staticIds;
    for (const ProcessRecord& record : processList) {
        const std::string unknown = valueOf(record, keys::kCorvUnknown);
        require(unknown.empty() || unknown == "1", "the unknown mark is empty or \"1\"");
        staticIds.push_back((unknown == "1" ? "-" : "") + valueOf(record, keys::kStaticId));
    }
    const std::string formatted =
        protocol::formatInitialiseReply(narrowLatin1(fields[0]), staticIds, narrowLatin1(fields[2]),
                                        narrowLatin1(fields[3]));
    require(formatted == replyBytes, "a stored reply formats back to the same bytes");
    return 0;
}
