#pragma once
// MD5 as RFC 1321 specifies it.

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/digest/block_digest.h"

namespace zorvane::digest {

struct Md5Engine {
    using State = std::array<std::uint32_t, 4>;
    using Digest = std::array<std::uint8_t, 16>;
    static constexpr State kInitial{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

    static void compress(State& state, const std::uint8_t* blocks, std::size_t blockCount);
    // The digest bytes are A, B, C, D, each low byte first.
    static Digest complete(State& state, const std::uint8_t* tail, std::size_t tailSize, std::uint64_t messageBytes);
};

using Md5 = BlockDigest<Md5Engine>;

}  // namespace zorvane::digest
