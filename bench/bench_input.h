#pragma once
// The input both digest benchmarks hash: one 4 MiB "file" handed over in the
// 64 KiB blocks the scan session reads; and the generator every benchmark
// draws its deterministic inputs from.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zorvane::bench {

inline constexpr std::size_t kReadBlock = 65536;
inline constexpr std::size_t kFileSize = 64 * kReadBlock;

// Marsaglia's 32-bit xorshift: the same sequence on every run and platform.
class XorShift {
public:
    explicit XorShift(std::uint32_t seed = 2463534242u) : state_(seed) {}
    std::uint32_t next()
    {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }

private:
    std::uint32_t state_;
};

inline std::vector<std::uint8_t> makeFile()
{
    std::vector<std::uint8_t> bytes(kFileSize);
    XorShift random;
    for (auto& b : bytes)
        b = static_cast<std::uint8_t>(random.next());
    return bytes;
}

}  // namespace zorvane::bench
