#include "core/extractors/version_info.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "core/base/conversions.h"

namespace zorvane {

namespace {

constexpr std::array<std::string_view, 12> kStringFields = {
    "Comments",        "InternalName", "ProductName",  "CompanyName",      "LegalCopyright", "ProductVersion",
    "FileDescription", "LegalTrademarks", "PrivateBuild", "FileVersion", "OriginalFilename", "SpecialBuild",
};

constexpr std::size_t kLongestStringField =
    std::max_element(kStringFields.begin(), kStringFields.end(), [](std::string_view a, std::string_view b) {
        return a.size() < b.size();
    })->size();

// "%u.%u.%u.%u" of the four 16-bit words, most significant first.
std::u16string formatVersion(std::uint32_t mostSignificant, std::uint32_t leastSignificant)
{
    std::u16string text = formatInt64(mostSignificant >> 16);
    text += u'.';
    text += formatInt64(mostSignificant & 0xFFFF);
    text += u'.';
    text += formatInt64(leastSignificant >> 16);
    text += u'.';
    text += formatInt64(leastSignificant & 0xFFFF);
    return text;
}

// "%.04x%.04x": eight lowercase hexadecimal digits, language first.
std::u16string formatTranslation(const VersionTranslation& translation)
{
    constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string text;
    for (const std::uint16_t word : {translation.language, translation.codePage}) {
        for (int shift = 12; shift >= 0; shift -= 4)
            text += kDigits[(word >> shift) & 0xF];
    }
    return text;
}

// Drops trailing spaces and zero characters; leading spaces stay.
void trimTrailing(std::u16string& text)
{
    std::size_t length = text.size();
    while (length > 0 && (text[length - 1] == u' ' || text[length - 1] == u'\0'))
        --length;
    text.resize(length);
}

}  // namespace

void VersionInfoExtractor::extract(const std::u16string& path)
{
    const std::unique_ptr<VersionBlock> block = resources_.load(path);
    if (!block)
        return;

    if (const std::optional<FixedVersionInfo> fixed = block->fixedInformation()) {
        setProperty("BinaryFileVersion", formatVersion(fixed->fileVersionMS, fixed->fileVersionLS));
        setProperty("BinaryProductVersion", formatVersion(fixed->productVersionMS, fixed->productVersionLS));
    }

    // Only the first translation is read; there is no fallback to another.
    const std::vector<VersionTranslation> translations = block->translations();
    if (translations.empty())
        return;
    std::u16string languageCodepage = formatTranslation(translations.front());
    // One buffer for the twelve sub-block paths: the prefix stays, the field
    // name after it changes.
    constexpr std::u16string_view kStringFileInfo = u"\\StringFileInfo\\";
    std::u16string subBlock;
    subBlock.reserve(kStringFileInfo.size() + languageCodepage.size() + 1 + kLongestStringField);
    subBlock += kStringFileInfo;
    subBlock += languageCodepage;
    subBlock += u'\\';
    const std::size_t prefixLength = subBlock.size();
    for (const std::string_view field : kStringFields) {
        subBlock.resize(prefixLength);
        for (const char c : field)  // the field names are ASCII
            subBlock += static_cast<char16_t>(c);
        std::optional<std::u16string> value = block->stringValue(subBlock);
        if (!value)
            continue;
        trimTrailing(*value);
        if (value->size() >= kMaxFieldLength)
            continue;
        // A value is text up to its first zero character. A resource whose
        // recorded length is too long (in bytes rather than characters, say)
        // runs on past that zero into padding and the next entry's header.
        if (const std::size_t end = value->find(u'\0'); end != std::u16string::npos)
            value->resize(end);
        setProperty(field, std::move(*value));
    }
    setProperty("LanguageCodepage", std::move(languageCodepage));
}

}  // namespace zorvane
