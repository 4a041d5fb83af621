#pragma once
// The input both digest benchmarks hash: one 4 MiB "file" handed over in the
// 64 KiB blocks the scan session reads.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zorvane::bench {

inline constexpr std::size_t kReadBlock = 65536;
inline constexpr std::size_t kFileSize = 64 * kReadBlock;

inline std::vector<std::uint8_t> makeFile()
{
    std::vector<std::uint8_t> bytes(kFileSize);
    std::uint32_t x = 2463534242u;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

}  // namespace zorvane::bench
