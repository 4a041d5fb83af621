#include "protocol/request_encoder.h"

#include <new>

#include "core/scan/conversions.h"
#include "core/scan/keys.h"
#include "protocol/base64url.h"
#include "protocol/zlib_codec.h"

namespace zorvane::protocol {

std::u16string abbreviationPlaceholder(const AbbreviationList& list, std::size_t position)
{
    std::u16string digits;
    const unsigned base = list.digitsOnly ? 10 : 16;
    do {
        digits.insert(digits.begin(), u"0123456789abcdef"[position % base]);
        position /= base;
    } while (position != 0);
    return list.digitsOnly ? digits : u"%(" + digits + u")s";
}

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
    scanRecord[keys::kStatus] = u"0";
    scanRecord[keys::kLastAccess] = scanRecord[keys::kScanTime];
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

char16_t lowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

// One line over `record`: the UTF-8 value of every column with TAB made a
// space, columns joined by TAB. Absent keys are added empty, as the record's
// index access does.
template <std::size_t N>
void appendLine(std::string& text, ProcessRecord& record, const std::array<std::string_view, N>& columns)
{
    for (std::size_t i = 0; i < N; ++i) {
        if (i != 0)
            text.push_back(kFieldSeparator);
        const std::size_t start = text.size();
        text.append(toUtf8(record[columns[i]]));
        for (std::size_t k = start; k < text.size(); ++k)
            if (text[k] == kFieldSeparator)
                text[k] = ' ';
    }
}

void blankLineBreaksFrom(std::string& text, std::size_t start)
{
    for (std::size_t k = start; k < text.size(); ++k)
        if (text[k] == '\r' || text[k] == '\n')
            text[k] = ' ';
}

std::string doubleBackslashes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        out.push_back(c);
        if (c == '\\')
            out.push_back('\\');
    }
    return out;
}

}  // namespace

void abbreviateValues(ProcessRecord& record)
{
    for (const AbbreviationList& list : kAbbreviations) {
        std::u16string& value = record[list.key];
        if (value.empty())
            continue;
        std::u16string working = value;
        for (char16_t& c : working)
            c = lowerAscii(c);
        bool found = false;
        for (std::size_t p = 0; p < list.fragments.size(); ++p) {
            const std::size_t at = working.find(list.fragments[p]);
            if (at == std::u16string::npos)
                continue;
            working.replace(at, list.fragments[p].size(), abbreviationPlaceholder(list, p));
            found = true;
        }
        if (found)
            value = std::move(working);
    }
}

std::u16string mapModuleList(RequestEncoder& encoder, std::u16string_view moduleList)
{
    if (moduleList.empty())
        return {};
    std::u16string out;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = std::min(moduleList.find(u',', start), moduleList.size());
        out += encoder.pathToStaticId[std::u16string(moduleList.substr(start, comma - start))];
        if (comma == moduleList.size())
            return out;
        out.push_back(u',');
        start = comma + 1;
    }
}

FormFields buildSubmitFields(RequestEncoder& encoder, ProcessRecord& scanRecord,
                             std::vector<ProcessRecord>& processList)
{
    prepareRecordsForSubmit(scanRecord, processList);

    std::string input;
    appendLine(input, scanRecord, kInputColumns);

    const bool done = !scanRecord[keys::kProcessDataProcessed].empty();

    encoder.pathToStaticId.clear();
    for (ProcessRecord& record : processList)
        encoder.pathToStaticId[record[keys::kPathPathFull]] = record[keys::kStaticId];

    std::string staticText;
    std::string dynamicText;
    std::u16string staticIds;
    for (ProcessRecord& record : processList) {
        if (!done) {
            abbreviateValues(record);
            std::u16string& modules = record[keys::kModuleList];
            modules = mapModuleList(encoder, modules);
        }
        if (!record[keys::kCorvUnknown].empty()) {
            const std::size_t start = staticText.size();
            appendLine(staticText, record, kStaticColumns);
            blankLineBreaksFrom(staticText, start);
            staticText.push_back(kLineSeparator);
            staticIds += record[keys::kStaticId];
            staticIds.push_back(u',');
        }
        const std::size_t start = dynamicText.size();
        appendLine(dynamicText, record, kDynamicColumns);
        blankLineBreaksFrom(dynamicText, start);
        dynamicText.push_back(kLineSeparator);
    }
    scanRecord[keys::kProcessDataProcessed] = u"1";

    if (!dynamicText.empty())
        dynamicText.pop_back();
    if (!staticText.empty())
        staticText.pop_back();
    if (!staticIds.empty())
        staticIds.pop_back();

    FormFields fields;
    fields[std::string(kScanIdField)] = toUtf8(scanRecord[keys::kScanId]);
    fields[std::string(kStaticIdsField)] = toUtf8(staticIds);
    fields[std::string(kInputField)] = doubleBackslashes(input);
    fields[std::string(kInputStaticField)] = doubleBackslashes(staticText);
    fields[std::string(kInputDynamicField)] = doubleBackslashes(dynamicText);
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
