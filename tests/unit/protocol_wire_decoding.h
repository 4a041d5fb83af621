#pragma once
// An independent reading of request bodies for the tests: RFC 4648
// base64url and zlib's own uncompress, written apart from protocol/ so that
// a fault there cannot cancel itself out.

#include <zlib.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane::testing {

inline std::string decodeBase64UrlForTest(std::string_view text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const auto value = alphabet.find(c);
        if (value == std::string::npos)
            throw std::runtime_error("not base64url: " + std::string(1, c));
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

inline std::string inflateForTest(const std::string& stream)
{
    std::vector<unsigned char> out(1 << 20);
    uLongf length = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &length, reinterpret_cast<const Bytef*>(stream.data()),
                   static_cast<uLong>(stream.size())) != Z_OK)
        throw std::runtime_error("not a zlib stream");
    return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length));
}

// The body's fields in body order, split at "&" and each at its first "=".
inline std::vector<std::pair<std::string, std::string>> splitBodyForTest(std::string_view body)
{
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t start = 0;
    while (start <= body.size()) {
        auto end = body.find('&', start);
        if (end == std::string_view::npos)
            end = body.size();
        const auto part = body.substr(start, end - start);
        const auto equals = part.find('=');
        fields.emplace_back(std::string(part.substr(0, equals)), std::string(part.substr(equals + 1)));
        start = end + 1;
    }
    return fields;
}

inline std::vector<std::string> splitForTest(std::string_view text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const auto end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

}  // namespace zorvane::testing
