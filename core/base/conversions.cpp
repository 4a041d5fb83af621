#include "core/base/conversions.h"

#include <limits>

namespace zorvane {

std::u16string widenLatin1(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char c : text)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return out;
}

std::string narrowLatin1(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out.push_back(c < 256 ? static_cast<char>(c) : ' ');
    return out;
}

namespace {

char* writeUtf8(char* out, char32_t cp)
{
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

char* writeUtf8(char* out, std::u16string_view text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
            continue;
        }
        if (isHighSurrogate(c)) {
            if (i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                c = kReplacement;
            }
        } else if (isLowSurrogate(c)) {
            c = kReplacement;
        }
        out = writeUtf8(out, c);
    }
    return out;
}

void appendUtf8(std::string& out, std::u16string_view text)
{
    const std::size_t start = out.size();
    out.resize(start + kMaxUtf8PerUnit * text.size());
    out.resize(static_cast<std::size_t>(writeUtf8(out.data() + start, text) - out.data()));
}

std::string toUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    appendUtf8(out, text);
    return out;
}

std::u16string fromUtf8(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    const std::size_t n = text.size();
    auto byteAt = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    while (i < n) {
        unsigned char b = byteAt(i);
        char32_t cp;
        std::size_t extra;
        char32_t minimum;
        if (b < 0x80) {
            out.push_back(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F; extra = 1; minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F; extra = 2; minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07; extra = 3; minimum = 0x10000;
        } else {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        std::size_t k = 1;
        for (; k <= extra && i + k < n && (byteAt(i + k) & 0xC0) == 0x80; ++k)
            cp = (cp << 6) | (byteAt(i + k) & 0x3F);
        if (k <= extra || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(static_cast<char16_t>(kReplacement));
            i += k;  // skip the lead and the continuation bytes that were read
            continue;
        }
        i += k;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::u16string formatInt64(std::int64_t value)
{
    // Work in unsigned arithmetic so that INT64_MIN has a magnitude.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                        : static_cast<std::uint64_t>(value);
    char16_t digits[24];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::u16string out;
    if (value < 0)
        out.push_back(u'-');
    while (count > 0)
        out.push_back(digits[--count]);
    return out;
}

std::int64_t parseDecimalInt64(std::u16string_view text) { return readDecimalInt64(text).value_or(0); }

std::optional<std::int64_t> readDecimalInt64(std::u16string_view text)
{
    std::size_t i = 0;
    auto isSpace = [](char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
    while (i < text.size() && isSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size() || text[i] < u'0' || text[i] > u'9')
        return std::nullopt;
    constexpr std::uint64_t kPositiveLimit = std::numeric_limits<std::int64_t>::max();
    const std::uint64_t limit = negative ? kPositiveLimit + 1 : kPositiveLimit;
    std::uint64_t magnitude = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const unsigned digit = text[i] - u'0';
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (negative)
        return magnitude == kPositiveLimit + 1 ? std::numeric_limits<std::int64_t>::min()
                                               : -static_cast<std::int64_t>(magnitude);
    return static_cast<std::int64_t>(magnitude);
}

std::int32_t parseDecimalInt32(std::u16string_view text)
{
    const std::int64_t v = parseDecimalInt64(text);
    if (v > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (v < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(v);
}

}  // namespace zorvane
