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

Rejection reject(std::string reason, int status = 400)
{
    return Rejection{status, std::move(reason)};
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
Decoded<protocol::FormFields> parseFields(std::string_view body, std::span<const std::string_view> names)
{
    auto fields = protocol::parseBody(body);
    if (!fields)
        return reject("the body is not a list of name=value fields");
    std::string_view previous;
    for (std::size_t start = 0; start < body.size();) {
        std::size_t end = std::min(body.find('&', start), body.size());
        std::string_view name = body.substr(start, body.find('=', start) - start);
        if (std::find(names.begin(), names.end(), name) == names.end())
            return reject("unexpected field " + std::string(name.substr(0, 64)));
        if (start > 0 && name <= previous)
            return reject("the fields are not in name order");
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
Decoded<std::string> requiredField(std::string_view body, std::span<const std::string_view> names,
                                   std::string_view name)
{
    auto fields = parseFields(body, names);
    if (auto* r = std::get_if<Rejection>(&fields))
        return *r;
    const std::string* value = field(std::get<protocol::FormFields>(fields), name);
    if (!value)
        return reject("the field " + std::string(name) + " is missing");
    return *value;
}

Decoded<std::string> openTextField(const protocol::FormFields& fields, std::string_view name, const Limits& limits)
{
    const std::string* value = field(fields, name);
    if (!value)
        return reject("the field " + std::string(name) + " is missing");
    auto text = protocol::decodeField(*value, true, limits.maxInflatedBytes);
    if (!text)
        return reject(std::string(name) + " is not base64url of a zlib stream that inflates to at most " +
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
Decoded<std::vector<std::string_view>> countedLines(std::string_view text, std::string_view name,
                                                    std::size_t count)
{
    const std::size_t lines =
        text.empty() ? 0 : static_cast<std::size_t>(std::count(text.begin(), text.end(), protocol::kLineSeparator)) + 1;
    if (lines != count)
        return reject(std::string(name) + " has " + std::to_string(lines) + " lines, expected " +
                      std::to_string(count));
    if (count == 0)
        return std::vector<std::string_view>();
    return splitViews(text, protocol::kLineSeparator);
}

// One line of columns as record values: backslash doubling undone, and the
// text made valid UTF-8 (malformed sequences become U+FFFD).
template <std::size_t N>
Decoded<Values> readLine(std::string_view line, const std::array<std::string_view, N>& columns,
                         std::string_view where)
{
    const std::size_t cells = static_cast<std::size_t>(std::count(line.begin(), line.end(), protocol::kFieldSeparator)) + 1;
    if (cells != N)
        return reject(std::string(where) + " has " + std::to_string(cells) + " columns, expected " +
                      std::to_string(N));
    const auto parts = splitViews(line, protocol::kFieldSeparator);
    Values values;
    for (std::size_t i = 0; i < N; ++i) {
        auto plain = protocol::undoubleBackslashes(parts[i]);
        if (!plain)
            return reject(std::string(where) + ": a lone backslash in " + std::string(columns[i]));
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

Decoded<std::vector<std::string>> decodeInitialise(std::string_view body, const Limits& limits)
{
    auto sent = requiredField(body, kInitialiseFields, protocol::kMd5sField);
    if (auto* r = std::get_if<Rejection>(&sent))
        return *r;
    const std::string* md5s = &std::get<std::string>(sent);
    // Four characters carry three bytes: refuse an over-long field before
    // decoding it.
    if (md5s->size() / 4 * 3 > (limits.maxRecords + 1) * kDigestBytes)
        return reject("md5s names more than " + std::to_string(limits.maxRecords) + " records", 413);
    auto bytes = protocol::base64UrlDecode(*md5s);
    if (!bytes)
        return reject("md5s is not base64url");
    if (bytes->size() % kDigestBytes != 0)
        return reject("md5s holds " + std::to_string(bytes->size()) + " bytes, not a multiple of 16");
    std::size_t count = bytes->size() / kDigestBytes;
    if (count > limits.maxRecords)
        return reject("md5s names " + std::to_string(count) + " records, more than " +
                          std::to_string(limits.maxRecords),
                      413);
    const std::string placeholder = narrowLatin1(protocol::kPlaceholderDigest);
    std::vector<std::string> digests;
    digests.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::string hex = hexOf(std::string_view(*bytes).substr(k * kDigestBytes, kDigestBytes));
        digests.push_back(hex == placeholder ? std::string() : std::move(hex));
    }
    return digests;
}

Decoded<std::string> submittedScanId(std::string_view body)
{
    return requiredField(body, kSubmitFields, protocol::kScanIdField);
}

Decoded<Submission> decodeSubmit(std::string_view body, const InitialisedScan& scan, const Limits& limits)
{
    auto parsed = parseFields(body, kSubmitFields);
    if (auto* r = std::get_if<Rejection>(&parsed))
        return *r;
    const auto& fields = std::get<protocol::FormFields>(parsed);

    const std::string* scanId = field(fields, protocol::kScanIdField);
    const std::string* staticIds = field(fields, protocol::kStaticIdsField);
    if (!scanId || !staticIds)
        return reject("the fields scan_id and static_ids are required");
    if (*scanId != scan.header.scanId)
        return reject("scan_id does not name this scan");

    std::string expectedStaticIds;
    std::vector<const Slot*> unknownSlots;
    for (const Slot& slot : scan.slots) {
        if (!slot.unknown)
            continue;
        if (!unknownSlots.empty())
            expectedStaticIds.push_back(',');
        expectedStaticIds += std::to_string(slot.fileId);
        unknownSlots.push_back(&slot);
    }
    if (*staticIds != expectedStaticIds)
        return reject("static_ids does not list the unknown files of this scan");

    Submission submission;
    submission.scanId = scan.header.scanId;

    // The scan record: one line, in which CR and LF may stand inside values.
    {
        auto text = openTextField(fields, protocol::kInputField, limits);
        if (auto* r = std::get_if<Rejection>(&text))
            return *r;
        auto values = readLine(std::get<std::string>(text), protocol::kInputColumns, "input");
        if (auto* r = std::get_if<Rejection>(&values))
            return *r;
        submission.scanValues = std::move(std::get<Values>(values));
    }

    {
        auto text = openTextField(fields, protocol::kInputStaticField, limits);
        if (auto* r = std::get_if<Rejection>(&text))
            return *r;
        auto counted = countedLines(std::get<std::string>(text), protocol::kInputStaticField, unknownSlots.size());
        if (auto* r = std::get_if<Rejection>(&counted))
            return *r;
        const auto& lines = std::get<std::vector<std::string_view>>(counted);
        std::set<std::int64_t> filled;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            std::string where = "input_static line " + std::to_string(i + 1);
            auto values = readLine(lines[i], protocol::kStaticColumns, where);
            if (auto* r = std::get_if<Rejection>(&values))
                return *r;
            auto& facts = std::get<Values>(values);
            const Slot& slot = *unknownSlots[i];
            if (take(facts, keys::kStaticId) != std::to_string(slot.fileId))
                return reject(where + ": staticId differs from static_ids");
            if (!slot.md5.empty() && facts[std::string(keys::kHashMd5)] != slot.md5)
                return reject(where + ": hash.md5 differs from the digest sent first");
            if (filled.insert(slot.fileId).second)
                submission.files.push_back(SubmittedFile{slot.fileId, std::move(facts)});
        }
    }

    {
        auto text = openTextField(fields, protocol::kInputDynamicField, limits);
        if (auto* r = std::get_if<Rejection>(&text))
            return *r;
        auto counted = countedLines(std::get<std::string>(text), protocol::kInputDynamicField, scan.slots.size());
        if (auto* r = std::get_if<Rejection>(&counted))
            return *r;
        const auto& lines = std::get<std::vector<std::string_view>>(counted);
        std::size_t moduleEntries = 0;
        std::unordered_set<std::int64_t> scanFiles;
        for (const Slot& slot : scan.slots)
            scanFiles.insert(slot.fileId);
        submission.processes.reserve(lines.size());
        for (std::size_t k = 0; k < lines.size(); ++k) {
            std::string where = "input_dynamic line " + std::to_string(k + 1);
            auto decoded = readLine(lines[k], protocol::kDynamicColumns, where);
            if (auto* r = std::get_if<Rejection>(&decoded))
                return *r;
            auto& values = std::get<Values>(decoded);
            if (take(values, keys::kDynCount) != std::to_string(k))
                return reject(where + ": dynCount is not " + std::to_string(k));
            if (take(values, keys::kStaticId) != std::to_string(scan.slots[k].fileId))
                return reject(where + ": staticId differs from the one assigned");
            if (take(values, keys::kScanId) != scan.header.scanId)
                return reject(where + ": scanId does not name this scan");

            SubmittedProcess process;
            std::string moduleList = take(values, keys::kModuleList);
            if (!moduleList.empty()) {
                const auto listed = static_cast<std::size_t>(std::count(moduleList.begin(), moduleList.end(), ',')) + 1;
                if (listed > limits.maxModulesPerRecord)
                    return reject(where + ": the module list names more than " +
                                      std::to_string(limits.maxModulesPerRecord) + " modules",
                                  413);
                moduleEntries += listed;
                if (moduleEntries > limits.maxModuleEntries)
                    return reject("the module lists name more than " + std::to_string(limits.maxModuleEntries) +
                                      " modules",
                                  413);
                bool outside = false;
                forEachElement(std::string_view(moduleList), ',', [&](std::string_view element) {
                    if (element.empty()) {
                        process.modules.push_back(std::nullopt);
                        return;
                    }
                    auto id = parseId(element);
                    if (!id || !scanFiles.count(*id))
                        outside = true;
                    else
                        process.modules.push_back(*id);
                });
                if (outside)
                    return reject(where + ": moduleList names a file outside this scan");
            }
            for (const auto& list : protocol::kAbbreviations) {
                auto it = values.find(list.key);
                if (it != values.end() && !it->second.empty())
                    it->second = toUtf8(expandAbbreviations(list, fromUtf8(it->second)));
            }
            process.values = std::move(values);
            submission.processes.push_back(std::move(process));
        }
    }
    return submission;
}

}  // namespace zorvane::service
