#pragma once
// Digests as text: lowercase hexadecimal, and the MD5 of a piece of UTF-16 text.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// Two lowercase hexadecimal digits per byte, high nibble first, no separator.
std::u16string toHexText(const std::uint8_t* data, std::size_t count);

// The MD5, as 32 lowercase hexadecimal digits, of the texts joined with nothing
// between them, taken as UTF-16LE code units (two bytes each, low byte first;
// no terminating zero). No texts at all give the MD5 of empty input.
std::u16string md5OfTexts(std::initializer_list<std::u16string_view> texts);
std::u16string md5OfTexts(const std::vector<std::u16string>& texts);

}  // namespace zorvane
