#include "protocol/abbreviations.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "protocol/field_text.h"

namespace zorvane::protocol {

namespace {

char16_t lowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// A position written in canonical decimal (no sign, no leading zero) below
// `count`; none for any other text.
std::optional<std::size_t> decimalPosition(std::u16string_view text, std::size_t count)
{
    if (text.empty() || (text.size() > 1 && text[0] == u'0') || !std::all_of(text.begin(), text.end(), isDigit))
        return std::nullopt;
    std::size_t position = 0;
    for (const char16_t c : text) {
        position = position * 10 + static_cast<std::size_t>(c - u'0');
        if (position >= count)
            return std::nullopt;
    }
    return position;
}

// The digits-only list: comma-separated names, each either untouched or
// wholly one position.
std::u16string expandDigitsOnly(const AbbreviationList& list, std::u16string_view value)
{
    std::u16string out;
    std::vector<bool> used(list.fragments.size(), false);
    bool first = true;
    for (const std::u16string& element : splitText(value, u',')) {
        if (!first)
            out.push_back(u',');
        first = false;
        if (std::none_of(element.begin(), element.end(), isDigit)) {
            out += element;
            continue;
        }
        const auto position = decimalPosition(element, list.fragments.size());
        if (!position || used[*position])
            return std::u16string(value);
        used[*position] = true;
        out += list.fragments[*position];
    }
    return out;
}

}  // namespace

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

void abbreviateValues(ProcessRecord& record)
{
    for (const AbbreviationList& list : kAbbreviations) {
        std::u16string& value = record[list.key];
        if (value.empty())
            continue;
        // One buffer for every value of the thread: most values hold no
        // fragment, and their lower-cased copy is thrown away.
        thread_local std::u16string working;
        working.assign(value);
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
            value = working;
    }
}

std::u16string expandAbbreviations(const AbbreviationList& list, std::u16string_view value)
{
    const auto& fragments = list.fragments;
    if (list.digitsOnly)
        return expandDigitsOnly(list, value);

    std::u16string out;
    std::vector<bool> used(fragments.size(), false);
    std::size_t i = 0;
    while (i < value.size()) {
        if (value[i] == u'%' && i + 1 < value.size() && value[i + 1] == u'(') {
            std::size_t j = i + 2;
            std::size_t position = 0;
            bool overflow = false;
            while (j < value.size() && ((value[j] >= u'0' && value[j] <= u'9') || (value[j] >= u'a' && value[j] <= u'f'))) {
                unsigned digit = value[j] <= u'9' ? value[j] - u'0' : value[j] - u'a' + 10;
                overflow = overflow || position > fragments.size();
                position = position * 16 + digit;
                ++j;
            }
            std::size_t digits = j - (i + 2);
            bool canonical = digits > 0 && !(digits > 1 && value[i + 2] == u'0');
            if (canonical && j + 1 < value.size() && value[j] == u')' && value[j + 1] == u's') {
                if (overflow || position >= fragments.size() || used[position])
                    return std::u16string(value);
                used[position] = true;
                out += fragments[position];
                i = j + 2;
                continue;
            }
        }
        out.push_back(value[i]);
        ++i;
    }
    return out;
}

}  // namespace zorvane::protocol
