// The service's decoders over arbitrary bodies. The first input byte picks
// what the rest is:
//   0, 2  an initialise body, through decodeInitialise;
//   1     a submit body, through submittedScanId and decodeSubmit against
//         a fixed initialised scan of two records (a known file 17, an
//         unknown file 18) named "scan42";
//   3     an initialise body, LF, the service's reply to it, LF, a submit
//         body: the initialised scan is what the initialise body and the
//         reply describe (one slot per digest; the reply's scan id and
//         static ids, a leading "-" marking an unknown file), so that a
//         recorded scan reaches every step of decodeSubmit.
// Limits are small so that the fuzzer meets them.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/fuzz_input.h"
#include "protocol/field_text.h"
#include "service/decoding.h"

using namespace zorvane;
using zorvane::fuzz::require;

namespace {

template <typename T>
void requireClientError(const service::Expected<T>& decoded)
{
    if (!decoded)
        require(decoded.error().status >= 400 && decoded.error().status < 500, "a rejected body is a client error");
}

// The part of `text` up to the next LF, which is taken off the front; all of
// it when there is no LF.
std::string_view takeLine(std::string_view& text)
{
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    return line;
}

// The scan that an initialise body and the reply to it describe. Slots the
// reply does not name (or names unreadably) get ids of their own, unknown.
service::InitialisedScan scanFrom(std::string_view initialiseBody, std::string_view reply,
                                  const service::Limits& limits)
{
    service::InitialisedScan scan;
    auto decoded = service::decodeInitialise(initialiseBody, limits);
    requireClientError(decoded);
    const std::vector<std::string>* digests = decoded ? &*decoded : nullptr;
    const auto fields = protocol::splitText(reply, '|');
    scan.header.scanId = fields[0];
    const auto ids = fields.size() > 1 ? protocol::splitText(fields[1], ',') : std::vector<std::string>();
    const std::size_t count = digests ? digests->size() : 0;
    for (std::size_t k = 0; k < count; ++k) {
        service::Slot slot{static_cast<std::int64_t>(1000000 + k), true, (*digests)[k]};
        if (k < ids.size()) {
            std::string_view id = ids[k];
            const bool unknown = !id.empty() && id[0] == '-';
            if (unknown)
                id.remove_prefix(1);
            std::int64_t value = 0;
            auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), value);
            if (ec == std::errc() && end == id.data() + id.size() && value >= 0) {
                slot.fileId = value;
                slot.unknown = unknown;
            }
        }
        scan.slots.push_back(std::move(slot));
    }
    return scan;
}

void decodeAgainst(std::string_view body, const service::InitialisedScan& scan, const service::Limits& limits)
{
    requireClientError(service::submittedScanId(body));
    auto decoded = service::decodeSubmit(body, scan, limits);
    requireClientError(decoded);
    const service::Submission* submission = decoded ? &*decoded : nullptr;
    if (!submission)
        return;
    require(submission->processes.size() == scan.slots.size(), "one process per initialised record");
    std::set<std::int64_t> files, unknown;
    for (const service::Slot& slot : scan.slots) {
        files.insert(slot.fileId);
        if (slot.unknown)
            unknown.insert(slot.fileId);
    }
    for (const service::SubmittedFile& file : submission->files)
        require(unknown.count(file.fileId) == 1, "facts only for files the scan did not know");
    for (const service::SubmittedProcess& process : submission->processes)
        for (const auto& module : process.modules)
            require(!module || files.count(*module) == 1, "modules name files of this scan");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    const std::uint8_t selector = input.takeByte() % 4;
    std::string_view body = input.rest();

    service::Limits limits;
    limits.maxBodyBytes = 1u << 16;
    limits.maxInflatedBytes = 1u << 20;
    limits.maxRecords = 256;
    limits.maxModuleEntries = 4096;

    switch (selector) {
    case 1: {
        service::InitialisedScan scan;
        scan.header.scanId = "scan42";
        scan.slots.push_back({17, false, "0123456789abcdef0123456789abcdef"});
        scan.slots.push_back({18, true, ""});
        decodeAgainst(body, scan, limits);
        break;
    }
    case 3: {
        std::string_view initialiseBody = takeLine(body);
        std::string_view reply = takeLine(body);
        decodeAgainst(body, scanFrom(initialiseBody, reply, limits), limits);
        break;
    }
    default:
        requireClientError(service::decodeInitialise(body, limits));
        break;
    }
    return 0;
}
