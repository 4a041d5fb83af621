#include "service/scan_id.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace zorvane::service {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool isAlphabetChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

}  // namespace

Expected<std::string> newScanId()
{
    std::uint8_t bytes[16];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return reject(kUnavailable, "no random source for a scan id");
        }
        filled += static_cast<std::size_t>(got);
    }
    // 128 bits as 22 six-bit digits; the last digit carries the final two bits.
    std::string id;
    id.reserve(kScanIdLength);
    unsigned int buffer = 0;
    int bits = 0;
    for (std::uint8_t b : bytes) {
        buffer = (buffer << 8) | b;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            id.push_back(kAlphabet[(buffer >> bits) & 0x3F]);
        }
    }
    id.push_back(kAlphabet[(buffer << (6 - bits)) & 0x3F]);
    return id;
}

bool isScanIdSyntax(std::string_view text)
{
    if (text.size() != kScanIdLength)
        return false;
    for (char c : text) {
        if (!isAlphabetChar(c))
            return false;
    }
    return true;
}

}  // namespace zorvane::service
