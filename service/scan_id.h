#pragma once
// Scan ids: the only secret that protects a report, since reports are never
// listed. 128 bits from the kernel's random source, written as 22 base64url
// characters without padding, so an id is URL-safe as it stands.

#include <string>
#include <string_view>

#include "service/rejection.h"

namespace zorvane::service {

inline constexpr std::size_t kScanIdLength = 22;

// Refused (503) only when the kernel's random source fails.
Expected<std::string> newScanId();

// True for text that newScanId could have produced.
bool isScanIdSyntax(std::string_view text);

}  // namespace zorvane::service
