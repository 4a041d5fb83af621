#pragma once
// base64url (RFC 4648 section 5): alphabet A-Z a-z 0-9 "-" "_", padded with
// "=", no line breaks. The standard alphabet with "+" and "/" is not used.

#include <optional>
#include <string>
#include <string_view>

namespace zorvane::protocol {

std::string base64UrlEncode(std::string_view bytes);

// Strict inverse of base64UrlEncode: the length must be a multiple of 4,
// padding only at the end ("=" or "=="), only alphabet characters, and the
// unused bits before the padding zero. Anything else gives no result.
std::optional<std::string> base64UrlDecode(std::string_view text);

}  // namespace zorvane::protocol
