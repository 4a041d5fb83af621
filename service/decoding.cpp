#include "service/decoding.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <set>
#include <span>
#include <unordered_set>

#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "protocol/abbreviations.h"
#include "protocol/base64url.h"
#include "protocol/field_text.h"
#include "protocol/form_fields.h"

namespace zorvane::service {

namespace {

constexpr std::size_t kDigestBytes = 16;
constexpr char kHexDigits[] = "0123456789abcdef";

// A body that breaks the wire format.
std::unexpected<Rejection> malformed(std::string reason)
{
    return reject(400, std::move(reason));
}

std::string hexOf(std::string_view bytes)
{
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        hex.push_back(kHexDigits[b >> 4]);
        hex.push_back(kHexDigits[b & 0x0F]);
    }
    return hex;
}

// Canonical decimal (no sign, no leading zero) that fits in int64.
std::optional<std::int64_t> parseId(std::string_view text)
{
    if (text.empty() || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

// The body's fields, which must be exactly `names` and stand in name order,
// as the client's encoder writes them.
Expected<protocol::FormFields> parseFields(std::string_view body, std::span<const std::string_view> names)
{
    auto fields = protocol::parseBody(body);
    if (!fields)
        return malformed("the body is not a list of name=value fields");
    std::string_view previous;
    for (std::size_t start = 0; start < body.size();) {
        std::size_t end = std::min(body.find('&', start), body.size());
        std::string_view name = body.substr(start, body.find('=', start) - start);
        if (std::find(names.begin(), names.end(), name) == names.end())
            return malformed("unexpected field " + std::string(name.substr(0, 64)));
        if (start > 0 && name <= previous)
            return malformed("the fields are not in name order");
        previous = name;
        start = end + 1;
    }
    return std::move(*fields);
}

constexpr std::array<std::string_view, 1> kInitialiseFields = {protocol::kMd5sField};
constexpr std::array<std::string_view, 5> kSubmitFields = {
    protocol::kInputField, protocol::kInputDynamicField, protocol::kInputStaticField, protocol::kScanIdField,
    protocol::kStaticIdsField};

const std::string* field(const protocol::FormFields& fields, std::string_view name)
{
    auto it = fields.find(name);
    return it == fields.end() ? nullptr : &it->second;
}

// One field of a body, as sent.
Expected<std::string> requiredField(std::string_view body, std::span<const std::string_view> names,
                                   std::string_view name)
{
    auto fields = parseFields(body, names);
    if (!fields)
        return reject(fields.error());
    const std::string* value = field(*fields, name);
    if (!value)
        return malformed("the field " + std::string(name) + " is missing");
    return *value;
}

Expected<std::string> openTextField(const protocol::FormFields& fields, std::string_view name, const Limits& limits)
{
    const std::string* value = field(fields, name);
    if (!value)
        return malformed("the field " + std::string(name) + " is missing");
    auto text = protocol::decodeField(*value, true, limits.maxInflatedBytes);
    if (!text)
        return malformed(std::string(name) + " is not base64url of a zlib stream that inflates to at most " +
                      std::to_string(limits.maxInflatedBytes) + " bytes");
    return std::move(*text);
}

// The parts of `text` between separators, as views into it. Counting first
// keeps a text of nothing but separators from becoming millions of strings.
std::vector<std::string_view> splitViews(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    parts.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), separator)) + 1);
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// The lines of a static or dynamic text, which must hold exactly `count`
// lines (an empty text holds none). The views point into `text`.
Expected<std::vector<std::string_view>> countedLines(std::string_view text, std::string_view name,
                                                    std::size_t count)
{
    const std::size_t lines =
        text.empty() ? 0 : static_cast<std::size_t>(std::count(text.begin(), text.end(), protocol::kLineSeparator)) + 1;
    if (lines != count)
        return malformed(std::string(name) + " has " + std::to_string(lines) + " lines, expected " +
                      std::to_string(count));
    if (count == 0)
        return std::vector<std::string_view>();
    return splitViews(text, protocol::kLineSeparator);
}

// One line of columns as record values: backslash doubling undone, and the
// text made valid UTF-8 (malformed sequences become U+FFFD).
template <std::size_t N>
Expected<Values> readLine(std::string_view line, const std::array<std::string_view, N>& columns,
                         std::string_view where)
{
    const std::size_t cells = static_cast<std::size_t>(std::count(line.begin(), line.end(), protocol::kFieldSeparator)) + 1;
    if (cells != N)
        return malformed(std::string(where) + " has " + std::to_string(cells) + " columns, expected " +
                      std::to_string(N));
    const auto parts = splitViews(line, protocol::kFieldSeparator);
    Values values;
    for (std::size_t i = 0; i < N; ++i) {
        auto plain = protocol::undoubleBackslashes(parts[i]);
        if (!plain)
            return malformed(std::string(where) + ": a lone backslash in " + std::string(columns[i]));
        values[std::string(columns[i])] = toUtf8(fromUtf8(*plain));
    }
    return values;
}

// Calls `each` with every comma-separated element of `text`, empty ones
// included, without building a list of them.
template <typename Char, typename Each>
void forEachElement(std::basic_string_view<Char> text, Char separator, Each each)
{
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        each(text.substr(start, end == text.npos ? text.npos : end - start));
        if (end == text.npos)
            return;
        start = end + 1;
    }
}

std::string take(Values& values, std::string_view key)
{
    auto it = values.find(key);
    if (it == values.end())
        return {};
    std::string value = std::move(it->second);
    values.erase(it);
    return value;
}

}  // namespace

Expected<std::vector<std::string>> decodeInitialise(std::string_view body, const Limits& limits)
{
    auto md5s = requiredField(body, kInitialiseFields, protocol::kMd5sField);
    if (!md5s)
        return reject(md5s.error());
    // Four characters carry three bytes: refuse an over-long field before
    // decoding it.
    if (md5s->size() / 4 * 3 > (limits.maxRecords + 1) * kDigestBytes)
        return reject(413, "md5s names more than " + std::to_string(limits.maxRecords) + " records");
    auto bytes = protocol::base64UrlDecode(*md5s);
    if (!bytes)
        return malformed("md5s is not base64url");
    if (bytes->size() % kDigestBytes != 0)
        return malformed("md5s holds " + std::to_string(bytes->size()) + " bytes, not a multiple of 16");
    std::size_t count = bytes->size() / kDigestBytes;
    if (count > limits.maxRecords)
        return reject(413, "md5s names " + std::to_string(count) + " records, more than " +
                               std::to_string(limits.maxRecords));
    const std::string placeholder = narrowLatin1(protocol::kPlaceholderDigest);
    std::vector<std::string> digests;
    digests.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::string hex = hexOf(std::string_view(*bytes).substr(k * kDigestBytes, kDigestBytes));
        digests.push_back(hex == placeholder ? std::string() : std::move(hex));
    }
    return digests;
}

Expected<std::string> submittedScanId(std::string_view body)
{
    return requiredField(body, kSubmitFields, protocol::kScanIdField);
}

namespace {

// The unknown slots of `scan` in scan order, once the body's scan_id names
// the scan and its static_ids lists exactly their file ids.
Expected<std::vector<const Slot*>> unknownSlotsNamed(const protocol::FormFields& fields, const InitialisedScan& scan)
{
    const std::string* scanId = field(fields, protocol::kScanIdField);
    const std::string* staticIds = field(fields, protocol::kStaticIdsField);
    if (!scanId || !staticIds)
        return malformed("the fields scan_id and static_ids are required");
    if (*scanId != scan.header.scanId)
        return malformed("scan_id does not name this scan");
    std::string expected;
    std::vector<const Slot*> unknown;
    for (const Slot& slot : scan.slots) {
        if (!slot.unknown)
            continue;
        if (!unknown.empty())
            expected.push_back(',');
        expected += std::to_string(slot.fileId);
        unknown.push_back(&slot);
    }
    if (*staticIds != expected)
        return malformed("static_ids does not list the unknown files of this scan");
    return unknown;
}

// Hands every line of the compressed field `name`, which must hold exactly
// `count` lines, to `each(index, line, where)`; the first rejection ends it.
template <typename Each>
Expected<> forEachLine(const protocol::FormFields& fields, std::string_view name, std::size_t count,
                       const Limits& limits, Each each)
{
    auto text = openTextField(fields, name, limits);
    if (!text)
        return reject(text.error());
    auto lines = countedLines(*text, name, count);
    if (!lines)
        return reject(lines.error());
    for (std::size_t i = 0; i < lines->size(); ++i) {
        if (auto read = each(i, (*lines)[i], std::string(name) + " line " + std::to_string(i + 1)); !read)
            return read;
    }
    return {};
}

// The scan line: one line, in which CR and LF may stand inside values.
Expected<Values> decodeScanLine(const protocol::FormFields& fields, const Limits& limits)
{
    auto text = openTextField(fields, protocol::kInputField, limits);
    if (!text)
        return reject(text.error());
    return readLine(*text, protocol::kInputColumns, "input");
}

// The static lines: the facts of each unknown file, in the order of
// static_ids, each with the file id and digest its slot was given.
Expected<std::vector<SubmittedFile>> decodeStaticLines(const protocol::FormFields& fields,
                                                       const std::vector<const Slot*>& unknownSlots,
                                                       const Limits& limits)
{
    std::vector<SubmittedFile> files;
    std::set<std::int64_t> filled;
    auto read = forEachLine(fields, protocol::kInputStaticField, unknownSlots.size(), limits,
                            [&](std::size_t i, std::string_view line, const std::string& where) -> Expected<> {
                                auto facts = readLine(line, protocol::kStaticColumns, where);
                                if (!facts)
                                    return reject(facts.error());
                                const Slot& slot = *unknownSlots[i];
                                if (take(*facts, keys::kStaticId) != std::to_string(slot.fileId))
                                    return malformed(where + ": staticId differs from static_ids");
                                if (!slot.md5.empty() && (*facts)[std::string(keys::kHashMd5)] != slot.md5)
                                    return malformed(where + ": hash.md5 differs from the digest sent first");
                                if (filled.insert(slot.fileId).second)
                                    files.push_back(SubmittedFile{slot.fileId, std::move(*facts)});
                                return {};
                            });
    if (!read)
        return reject(read.error());
    return files;
}

// Reads the "moduleList" values of one submission: each element names a
// file of the scan, or is empty for a module the client did not scan; the
// elements of one record, and of all together, are capped.
class ModuleListReader {
public:
    ModuleListReader(const InitialisedScan& scan, const Limits& limits) : limits_(limits)
    {
        for (const Slot& slot : scan.slots)
            scanFiles_.insert(slot.fileId);
    }

    Expected<std::vector<std::optional<std::int64_t>>> read(std::string_view list, const std::string& where)
    {
        std::vector<std::optional<std::int64_t>> modules;
        if (list.empty())
            return modules;
        const auto listed = static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) + 1;
        if (listed > limits_.maxModulesPerRecord)
            return reject(413, where + ": the module list names more than " +
                                   std::to_string(limits_.maxModulesPerRecord) + " modules");
        entries_ += listed;
        if (entries_ > limits_.maxModuleEntries)
            return reject(413, "the module lists name more than " + std::to_string(limits_.maxModuleEntries) +
                                   " modules");
        bool outside = false;
        forEachElement(list, ',', [&](std::string_view element) {
            if (element.empty()) {
                modules.push_back(std::nullopt);
                return;
            }
            auto id = parseId(element);
            if (!id || !scanFiles_.count(*id))
                outside = true;
            else
                modules.push_back(*id);
        });
        if (outside)
            return malformed(where + ": moduleList names a file outside this scan");
        return modules;
    }

private:
    const Limits& limits_;
    std::unordered_set<std::int64_t> scanFiles_;
    std::size_t entries_ = 0;
};

// Takes the columns by which a dynamic line names its place out of
// `values`: its position, its slot's file id and the scan.
Expected<> takeDynamicPlace(Values& values, std::size_t position, const Slot& slot, const std::string& scanId,
                            const std::string& where)
{
    if (take(values, keys::kDynCount) != std::to_string(position))
        return malformed(where + ": dynCount is not " + std::to_string(position));
    if (take(values, keys::kStaticId) != std::to_string(slot.fileId))
        return malformed(where + ": staticId differs from the one assigned");
    if (take(values, keys::kScanId) != scanId)
        return malformed(where + ": scanId does not name this scan");
    return {};
}

// Replaces the placeholders of the abbreviated columns by their fragments.
void expandAbbreviatedValues(Values& values)
{
    for (const auto& list : protocol::kAbbreviations) {
        auto it = values.find(list.key);
        if (it != values.end() && !it->second.empty())
            it->second = toUtf8(expandAbbreviations(list, fromUtf8(it->second)));
    }
}

// The dynamic lines: one process per slot, in scan order.
Expected<std::vector<SubmittedProcess>> decodeDynamicLines(const protocol::FormFields& fields,
                                                           const InitialisedScan& scan, const Limits& limits)
{
    std::vector<SubmittedProcess> processes;
    processes.reserve(scan.slots.size());
    ModuleListReader modules(scan, limits);
    auto read = forEachLine(fields, protocol::kInputDynamicField, scan.slots.size(), limits,
                            [&](std::size_t k, std::string_view line, const std::string& where) -> Expected<> {
                                auto values = readLine(line, protocol::kDynamicColumns, where);
                                if (!values)
                                    return reject(values.error());
                                auto placed = takeDynamicPlace(*values, k, scan.slots[k], scan.header.scanId, where);
                                if (!placed)
                                    return placed;
                                SubmittedProcess process;
                                auto listed = modules.read(take(*values, keys::kModuleList), where);
                                if (!listed)
                                    return reject(listed.error());
                                process.modules = std::move(*listed);
                                expandAbbreviatedValues(*values);
                                process.values = std::move(*values);
                                processes.push_back(std::move(process));
                                return {};
                            });
    if (!read)
        return reject(read.error());
    return processes;
}

}  // namespace

Expected<Submission> decodeSubmit(std::string_view body, const InitialisedScan& scan, const Limits& limits)
{
    auto fields = parseFields(body, kSubmitFields);
    if (!fields)
        return reject(fields.error());
    auto unknownSlots = unknownSlotsNamed(*fields, scan);
    if (!unknownSlots)
        return reject(unknownSlots.error());
    Submission submission;
    submission.scanId = scan.header.scanId;
    auto scanValues = decodeScanLine(*fields, limits);
    if (!scanValues)
        return reject(scanValues.error());
    submission.scanValues = std::move(*scanValues);
    auto files = decodeStaticLines(*fields, *unknownSlots, limits);
    if (!files)
        return reject(files.error());
    submission.files = std::move(*files);
    auto processes = decodeDynamicLines(*fields, scan, limits);
    if (!processes)
        return reject(processes.error());
    submission.processes = std::move(*processes);
    return submission;
}

}  // namespace zorvane::service
