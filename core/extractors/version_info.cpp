#include "core/extractors/version_info.h"

#include <array>
#include <string_view>

#include "core/scan/conversions.h"

namespace zorvane {

namespace {

constexpr std::array<std::string_view, 12> kStringFields = {
    "Comments",        "InternalName", "ProductName",  "CompanyName",      "LegalCopyright", "ProductVersion",
    "FileDescription", "LegalTrademarks", "PrivateBuild", "FileVersion", "OriginalFilename", "SpecialBuild",
};

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
    const VersionTranslation& first = translations.front();
    const std::u16string prefix = u"\\StringFileInfo\\" + formatTranslation(first) + u"\\";
    for (const std::string_view field : kStringFields) {
        std::optional<std::u16string> value = block->stringValue(prefix + widenLatin1(field));
        if (!value)
            continue;
        trimTrailing(*value);
        if (value->size() >= kMaxFieldLength)
            continue;
        setProperty(field, std::move(*value));
    }
    setProperty("LanguageCodepage", formatTranslation(first));
}

}  // namespace zorvane
