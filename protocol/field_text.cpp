#include "protocol/field_text.h"

#include "protocol/base64url.h"
#include "protocol/zlib_codec.h"

namespace zorvane::protocol {

std::optional<std::string> decodeField(std::string_view value, bool compressed, std::size_t maxBytes)
{
    auto bytes = base64UrlDecode(value);
    if (!bytes)
        return std::nullopt;
    if (compressed)
        return inflateZlib(*bytes, maxBytes);
    if (bytes->size() > maxBytes)
        return std::nullopt;
    return bytes;
}

namespace {

template <typename Char>
std::vector<std::basic_string<Char>> split(std::basic_string_view<Char> text, Char separator)
{
    std::vector<std::basic_string<Char>> elements;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        if (end == std::basic_string_view<Char>::npos) {
            elements.emplace_back(text.substr(start));
            return elements;
        }
        elements.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

std::vector<std::string> splitText(std::string_view text, char separator) { return split(text, separator); }

std::vector<std::u16string> splitText(std::u16string_view text, char16_t separator)
{
    return split(text, separator);
}

std::optional<std::string> undoubleBackslashes(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        out.push_back(value[i]);
        if (value[i] == '\\') {
            if (i + 1 == value.size() || value[i + 1] != '\\')
                return std::nullopt;
            ++i;
        }
    }
    return out;
}

}  // namespace zorvane::protocol
