#pragma once
// Reading the submit request's text fields back: the service's side of
// encodeFields and of the line rule.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane::protocol {

// base64url, then (when compressed) zlib inflate bounded by maxBytes.
// Empty on any malformed input or when the text would exceed maxBytes.
std::optional<std::string> decodeField(std::string_view value, bool compressed, std::size_t maxBytes);

// The splitting rule: every separator yields one more element, empty ones
// included; an empty text yields one empty element.
std::vector<std::string> splitText(std::string_view text, char separator);
std::vector<std::u16string> splitText(std::u16string_view text, char16_t separator);

// Undoes the backslash doubling of one value. Empty when a backslash is
// not doubled (the text was not written by the encoder).
std::optional<std::string> undoubleBackslashes(std::string_view value);

}  // namespace zorvane::protocol
