#include "protocol/request_encoder.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <numeric>
#include <unordered_map>

#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "protocol/abbreviations.h"
#include "protocol/base64url.h"
#include "protocol/zlib_codec.h"

namespace zorvane::protocol {

std::array<std::uint8_t, 16> hexDigestToBytes(std::u16string_view hex)
{
    auto nibble = [&](std::size_t i) -> std::uint8_t {
        if (i >= hex.size())
            return 0;
        const char16_t c = hex[i];
        return static_cast<std::uint8_t>(c <= u'9' ? c - 0x30 : c - 0x57);
    };
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t k = 0; k < bytes.size(); ++k)
        bytes[k] = static_cast<std::uint8_t>(nibble(2 * k) << 4 | nibble(2 * k + 1));
    return bytes;
}

void buildInitialiseFields(const std::vector<ProcessRecord>& processList, FormFields& fields)
{
    std::string digests;
    digests.reserve(16 * processList.size());
    for (const ProcessRecord& record : processList) {
        const std::u16string* md5 = record.find(keys::kHashMd5);
        const auto bytes = hexDigestToBytes(md5 && !md5->empty() ? std::u16string_view(*md5) : kPlaceholderDigest);
        digests.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    fields[std::string(kMd5sField)] = std::move(digests);
}

bool encodeFields(FormFields& fields, bool compress)
{
    if (fields.empty())
        return false;
    try {
        for (auto& [name, value] : fields) {
            if (name == kScanIdField || name == kStaticIdsField)
                continue;
            if (compress) {
                auto stream = compressLevel9(value);
                if (!stream)
                    return false;
                value = base64UrlEncode(*stream);
            } else {
                value = base64UrlEncode(value);
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void prepareRecordsForSubmit(ProcessRecord& scanRecord, std::vector<ProcessRecord>& processList)
{
    // Values are moved in as strings: GCC 12 at -O2 takes a literal's copy
    // into the record for an overlapping one (-Wrestrict).
    scanRecord[keys::kStatus] = std::u16string(u"0");
    // A copy: adding "last_access" may move the scan time's value.
    std::u16string scanTime = scanRecord[keys::kScanTime];
    scanRecord[keys::kLastAccess] = std::move(scanTime);
    scanRecord[keys::kProcessed] = u"False";
    const std::u16string scanId = scanRecord[keys::kScanId];
    std::int64_t count = 0;
    for (ProcessRecord& record : processList) {
        record[keys::kDynCount] = formatInt64(count++);
        record[keys::kScanId] = scanId;
        if (!record[keys::kCorvUnknown].empty()) {
            // assign(count, unit): mingw GCC 12 at -O3 warns falsely (-Wrestrict) on a literal.
            record[keys::kServerStaticRef].assign(1, u'0');
            record[keys::kServerStaticCrid] = u"-1";
        }
    }
}

namespace {

// A table's columns sorted by key, with the column each sorted key stands
// for, so that a line finds all its values in one walk over the record.
template <std::size_t N>
struct SortedColumns {
    std::vector<RecordKey> keys;
    std::array<std::size_t, N> column;
};

template <std::size_t N>
SortedColumns<N> sortColumns(const std::array<std::string_view, N>& columns)
{
    SortedColumns<N> sorted;
    std::iota(sorted.column.begin(), sorted.column.end(), std::size_t{0});
    std::sort(sorted.column.begin(), sorted.column.end(),
              [&](std::size_t a, std::size_t b) { return columns[a] < columns[b]; });
    for (std::size_t k = 0; k < N; ++k)
        sorted.keys.emplace_back(columns[sorted.column[k]]);
    return sorted;
}

// The value of every column in column order; an absent key is added empty,
// as the record's index access does.
template <std::size_t N>
std::array<const std::u16string*, N> columnValues(ProcessRecord& record, const SortedColumns<N>& sorted)
{
    std::array<std::u16string*, N> byKey;
    record.indexAll(sorted.keys, byKey);
    std::array<const std::u16string*, N> values;
    for (std::size_t k = 0; k < N; ++k)
        values[sorted.column[k]] = byKey[k];
    return values;
}

void prefetch(const void* address)
{
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

// Four units that are all printable ASCII other than a backslash, the
// common case, copied as four bytes at once; false (nothing written) for any
// other four. Units are read as one little-endian 64-bit number.
bool writePlainQuad(char*& out, const char16_t* units)
{
    if constexpr (std::endian::native != std::endian::little)
        return false;
    constexpr std::uint64_t kHigh = 0x8000800080008000;
    std::uint64_t quad;
    std::memcpy(&quad, units, sizeof quad);
    if ((quad & 0xFF80FF80FF80FF80) != 0)
        return false;  // a unit of 0x80 or more
    if ((((quad | kHigh) - 0x0020002000200020) & kHigh) != kHigh)
        return false;  // a control character: TAB, CR, LF and the like
    if (((((quad ^ 0x005C005C005C005C) | kHigh) - 0x0001000100010001) & kHigh) != kHigh)
        return false;  // a backslash
    std::uint64_t bytes = quad | quad >> 8;
    bytes &= 0x0000FFFF0000FFFF;
    bytes |= bytes >> 16;
    const auto four = static_cast<std::uint32_t>(bytes);
    std::memcpy(out, &four, sizeof four);
    out += 4;
    return true;
}

// Writes `value` at `out` as UTF-8 with TAB made a space (CR and LF too when
// `blankLineBreaks`) and every backslash doubled, in one pass, and returns
// the end. These are ASCII characters, and UTF-8 uses their bytes for
// nothing else, so runs of other characters go through the general
// conversion unchanged. Needs room for kMaxUtf8PerUnit bytes per unit (a
// doubled backslash takes two).
char* writeValue(char* out, std::u16string_view value, bool blankLineBreaks)
{
    const std::size_t n = value.size();
    for (std::size_t k = 0; k < n;) {
        if (k + 4 <= n && writePlainQuad(out, value.data() + k)) {
            k += 4;
            continue;
        }
        if (value[k] >= 0x80) {
            std::size_t end = k + 1;
            while (end < n && value[end] >= 0x80)
                ++end;
            out = writeUtf8(out, value.substr(k, end - k));
            k = end;
            continue;
        }
        char byte = static_cast<char>(value[k++]);
        if (byte == kFieldSeparator || (blankLineBreaks && (byte == '\r' || byte == '\n')))
            byte = ' ';
        else if (byte == '\\')
            *out++ = byte;
        *out++ = byte;
    }
    return out;
}

// One line over `record`: the value of every column, joined by TAB, written
// into room made once for the whole line.
template <std::size_t N>
void appendLine(std::string& text, ProcessRecord& record, const SortedColumns<N>& columns, bool blankLineBreaks)
{
    const auto values = columnValues(record, columns);
    std::size_t room = N;
    for (const std::u16string* value : values) {
        room += kMaxUtf8PerUnit * value->size();
        // Each value's text is a block of its own somewhere in the heap:
        // asking for all of them now waits for memory once per line, not
        // once per value.
        prefetch(value->data());
    }
    const std::size_t start = text.size();
    text.resize(start + room);
    char* const begin = text.data();
    char* out = begin + start;
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0)
            *out++ = kFieldSeparator;
        out = writeValue(out, *values[i], blankLineBreaks);
    }
    text.resize(static_cast<std::size_t>(out - begin));
}

// Rewrites each comma-separated path of a module list by its static id in
// `ids`, which finds a path's id (null when it has none) and adds a path
// with an empty id.
//
// A path may hold commas of its own ("C:\Program Files\Foo, Inc\x.dll"),
// which split it into elements the map lacks. Such an element is joined
// with the ones after it, a few at most, while that forms a path of the
// map; only an element that no join completes is added with an empty id.
template <class Ids>
std::u16string mapEachPath(std::u16string_view moduleList, Ids& ids)
{
    // Commas one path may hold, and the longest path Windows has.
    constexpr int kMostJoins = 8;
    constexpr std::size_t kLongestPath = 32767;
    if (moduleList.empty())
        return {};
    std::u16string out;
    // Ids are mostly shorter than paths: one allocation instead of a run of growths.
    out.reserve(moduleList.size());
    std::size_t start = 0;
    while (true) {
        std::size_t end = std::min(moduleList.find(u',', start), moduleList.size());
        const std::u16string* id = ids.find(moduleList.substr(start, end - start));
        std::size_t joined = end;
        for (int joins = 0; !id && end > start && joined < moduleList.size() && joins < kMostJoins; ++joins) {
            joined = std::min(moduleList.find(u',', joined + 1), moduleList.size());
            if (joined - start > kLongestPath)
                break;
            if ((id = ids.find(moduleList.substr(start, joined - start))))
                end = joined;
        }
        out += id ? *id : ids.add(moduleList.substr(start, end - start));
        if (end == moduleList.size())
            return out;
        out.push_back(u',');
        start = end + 1;
    }
}

// A hashed view of the encoder's map for one build; a path the map lacks is
// added to it with an empty id, as the map's index access does.
class StaticIdIndex {
public:
    explicit StaticIdIndex(RequestEncoder& encoder) : map_(encoder.pathToStaticId)
    {
        index_.reserve(map_.size());
        for (const auto& [path, id] : map_)
            index_.emplace(path, &id);
    }

    const std::u16string* find(std::u16string_view path) const
    {
        const auto found = index_.find(path);
        return found == index_.end() ? nullptr : found->second;
    }

    const std::u16string& add(std::u16string_view path)
    {
        const auto added = map_.try_emplace(std::u16string(path)).first;
        index_.emplace(added->first, &added->second);
        return added->second;
    }

private:
    // Paths are long and mostly share their beginning: one memcmp beats the
    // unit-by-unit comparison of char16_t text.
    struct SameText {
        bool operator()(std::u16string_view a, std::u16string_view b) const
        {
            return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
        }
    };

    std::map<std::u16string, std::u16string>& map_;
    std::unordered_map<std::u16string_view, const std::u16string*, std::hash<std::u16string_view>, SameText> index_;
};

}  // namespace

std::u16string mapModuleList(RequestEncoder& encoder, std::u16string_view moduleList)
{
    StaticIdIndex ids(encoder);
    return mapEachPath(moduleList, ids);
}

namespace {

// Every key that building the submit fields reads from a process record, so
// adds if absent, sorted: those of every record, and those of a record the
// service does not know.
struct SubmitKeys {
    std::vector<RecordKey> everyRecord;
    std::vector<RecordKey> unknownRecord;
};

const SubmitKeys& submitKeys()
{
    static const SubmitKeys keys = [] {
        const auto sorted = [](std::vector<std::string_view> list) {
            std::sort(list.begin(), list.end());
            list.erase(std::unique(list.begin(), list.end()), list.end());
            return std::vector<RecordKey>(list.begin(), list.end());
        };
        std::vector<std::string_view> every(kDynamicColumns.begin(), kDynamicColumns.end());
        every.insert(every.end(), {keys::kCorvUnknown, keys::kPathPathFull, keys::kStaticId, keys::kDynCount,
                                   keys::kScanId, keys::kModuleList});
        for (const AbbreviationList& list : kAbbreviations)
            every.push_back(list.key);
        std::vector<std::string_view> unknown = every;
        unknown.insert(unknown.end(), kStaticColumns.begin(), kStaticColumns.end());
        unknown.insert(unknown.end(), {keys::kServerStaticRef, keys::kServerStaticCrid});
        return SubmitKeys{sorted(std::move(every)), sorted(std::move(unknown))};
    }();
    return keys;
}

}  // namespace

FormFields buildSubmitFields(RequestEncoder& encoder, ProcessRecord& scanRecord,
                             std::vector<ProcessRecord>& processList)
{
    // The build reads these keys through index access, which adds the absent
    // ones; adding them all at once first saves moving each record's entries
    // again for every key added on the way.
    const SubmitKeys& keySets = submitKeys();
    for (ProcessRecord& record : processList) {
        record.indexAll(keySets.everyRecord);
        if (!record[keys::kCorvUnknown].empty())
            record.indexAll(keySets.unknownRecord);
    }

    prepareRecordsForSubmit(scanRecord, processList);

    static const auto inputColumns = sortColumns(kInputColumns);
    static const auto staticColumns = sortColumns(kStaticColumns);
    static const auto dynamicColumns = sortColumns(kDynamicColumns);

    std::string input;
    appendLine(input, scanRecord, inputColumns, false);

    const bool done = !scanRecord[keys::kProcessDataProcessed].empty();

    encoder.pathToStaticId.clear();
    for (ProcessRecord& record : processList) {
        // The id first: adding the path's key may move the id's value.
        std::u16string id = record[keys::kStaticId];
        encoder.pathToStaticId[record[keys::kPathPathFull]] = std::move(id);
    }
    StaticIdIndex staticIdOf(encoder);

    // Room for typical lines up front: growing a text of hundreds of
    // kilobytes step by step copies it again at every step.
    std::string staticText;
    std::string dynamicText;
    staticText.reserve(processList.size() * 256);
    dynamicText.reserve(processList.size() * 256);
    std::u16string staticIds;
    for (ProcessRecord& record : processList) {
        if (!done) {
            abbreviateValues(record);
            std::u16string& modules = record[keys::kModuleList];
            modules = mapEachPath(modules, staticIdOf);
        }
        if (!record[keys::kCorvUnknown].empty()) {
            appendLine(staticText, record, staticColumns, true);
            staticText.push_back(kLineSeparator);
            staticIds += record[keys::kStaticId];
            staticIds.push_back(u',');
        }
        appendLine(dynamicText, record, dynamicColumns, true);
        dynamicText.push_back(kLineSeparator);
    }
    scanRecord[keys::kProcessDataProcessed] = std::u16string(u"1");

    if (!dynamicText.empty())
        dynamicText.pop_back();
    if (!staticText.empty())
        staticText.pop_back();
    if (!staticIds.empty())
        staticIds.pop_back();

    FormFields fields;
    fields[std::string(kScanIdField)] = toUtf8(scanRecord[keys::kScanId]);
    fields[std::string(kStaticIdsField)] = toUtf8(staticIds);
    fields[std::string(kInputField)] = std::move(input);
    fields[std::string(kInputStaticField)] = std::move(staticText);
    fields[std::string(kInputDynamicField)] = std::move(dynamicText);
    return fields;
}

std::optional<std::u16string> submitTarget(std::u16string_view pathTemplate, std::u16string_view scanId)
{
    constexpr std::size_t kMaxTarget = 2047;
    if (pathTemplate.find(u'%') == std::u16string_view::npos)
        return std::u16string(pathTemplate);
    std::u16string target;
    bool substituted = false;
    for (std::size_t i = 0; i < pathTemplate.size(); ++i) {
        const char16_t next = i + 1 < pathTemplate.size() ? pathTemplate[i + 1] : u'\0';
        if (pathTemplate[i] != u'%') {
            target.push_back(pathTemplate[i]);
        } else if (next == u'%') {
            target.push_back(u'%');
            ++i;
        } else if (next == u's' && !substituted) {
            target.append(scanId);
            substituted = true;
            ++i;
        } else {
            target.push_back(u'%');
        }
        if (target.size() > kMaxTarget)
            return std::nullopt;
    }
    return target;
}

}  // namespace zorvane::protocol
