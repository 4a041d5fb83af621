#pragma once
// The zlib streams (RFC 1950) of the submit request's text fields.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane::protocol {

// compress2 at level 9 in one call, into an output of n + n/1000 + 12
// bytes for n input bytes. Empty on a zlib error or when memory runs out.
std::optional<std::string> compressLevel9(std::string_view bytes);

// Inflates one complete zlib stream. Empty when the stream is damaged,
// incomplete, followed by further bytes, or would inflate to more than
// maxOutput bytes (memory stays bounded by maxOutput).
std::optional<std::string> inflateZlib(std::string_view stream, std::size_t maxOutput);

}  // namespace zorvane::protocol
