#pragma once
// Text conversions shared by the scan engine, the extractors and the wire format.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// Each byte becomes the UTF-16 unit of the same value (0..255).
std::u16string widenLatin1(std::string_view text);

// A unit below 256 becomes that byte; any other unit becomes a space.
std::string narrowLatin1(std::u16string_view text);

// UTF-16 to UTF-8. Surrogate pairs are combined; a lone surrogate becomes
// U+FFFD. Never fails and never drops text.
std::string toUtf8(std::u16string_view text);
// The same conversion appended to `out`.
void appendUtf8(std::string& out, std::u16string_view text);
// The same conversion written at `out`, which has room for kMaxUtf8PerUnit
// bytes per unit of `text`; returns the end of what was written.
inline constexpr std::size_t kMaxUtf8PerUnit = 3;
char* writeUtf8(char* out, std::u16string_view text);

// UTF-8 to UTF-16. Malformed sequences (bad lead or continuation bytes,
// overlong forms, surrogates, values above U+10FFFF) become U+FFFD.
std::u16string fromUtf8(std::string_view text);

// Decimal text of a signed 64-bit value, "-" for negatives, no padding.
std::u16string formatInt64(std::int64_t value);

// The C library's decimal reading rule: leading white space, then an
// optional sign, then digits up to the first non-digit; 0 when no digit
// follows. Out-of-range values saturate at the type's limits.
std::int64_t parseDecimalInt64(std::u16string_view text);
// The same rule, empty when no digit follows the white space and sign.
std::optional<std::int64_t> readDecimalInt64(std::u16string_view text);
std::int32_t parseDecimalInt32(std::u16string_view text);

}  // namespace zorvane
