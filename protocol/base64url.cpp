#include "protocol/base64url.h"

#include <array>
#include <cstdint>

namespace zorvane::protocol {

namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> makeReverse()
{
    std::array<std::int8_t, 256> reverse{};
    for (auto& entry : reverse)
        entry = -1;
    for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        reverse[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return reverse;
}

constexpr auto kReverse = makeReverse();

}  // namespace

std::string base64UrlEncode(std::string_view bytes)
{
    // Written straight into the final size: this runs over every upload's
    // compressed fields.
    std::string out((bytes.size() + 2) / 3 * 4, '=');
    char* write = out.data();
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
        write[0] = kAlphabet[group >> 18];
        write[1] = kAlphabet[(group >> 12) & 63];
        write[2] = kAlphabet[(group >> 6) & 63];
        write[3] = kAlphabet[group & 63];
        write += 4;
    }
    // One or two bytes left: two or three characters, the rest stays "=".
    const std::size_t rest = bytes.size() - i;
    if (rest != 0) {
        const std::uint32_t group = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
        write[0] = kAlphabet[group >> 18];
        write[1] = kAlphabet[(group >> 12) & 63];
        if (rest == 2)
            write[2] = kAlphabet[(group >> 6) & 63];
    }
    return out;
}

std::optional<std::string> base64UrlDecode(std::string_view text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t digits = last ? 4 - padding : 4;
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            std::int8_t value = 0;
            if (k < digits) {
                value = kReverse[static_cast<unsigned char>(text[i + k])];
                if (value < 0)
                    return std::nullopt;
            }
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        out.push_back(static_cast<char>(group >> 16));
        if (digits >= 3)
            out.push_back(static_cast<char>((group >> 8) & 0xFF));
        else if ((group & 0xFFFF) != 0)
            return std::nullopt;
        if (digits == 4)
            out.push_back(static_cast<char>(group & 0xFF));
        else if (digits == 3 && (group & 0xFF) != 0)
            return std::nullopt;
    }
    return out;
}

}  // namespace zorvane::protocol
