#pragma once
// SHA-1 as FIPS 180-1 specifies it. Sha1Engine uses the processor's SHA
// extensions when it has them and the portable rounds otherwise;
// Sha1PortableEngine always uses the portable rounds.

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/digest/block_digest.h"

namespace zorvane::digest {

struct Sha1PortableEngine {
    using State = std::array<std::uint32_t, 5>;
    using Digest = std::array<std::uint8_t, 20>;
    static constexpr State kInitial{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

    static void compress(State& state, const std::uint8_t* blocks, std::size_t blockCount);
    // The digest bytes are H0 to H4, each high byte first.
    static Digest complete(State& state, const std::uint8_t* tail, std::size_t tailSize, std::uint64_t messageBytes);
};

struct Sha1Engine : Sha1PortableEngine {
    static void compress(State& state, const std::uint8_t* blocks, std::size_t blockCount);
    static Digest complete(State& state, const std::uint8_t* tail, std::size_t tailSize, std::uint64_t messageBytes);
};

using Sha1 = BlockDigest<Sha1Engine>;
using Sha1Portable = BlockDigest<Sha1PortableEngine>;

// Whether this processor has the SHA extensions (and the SSSE3 and SSE4.1
// they are used with); checked once, on first use.
bool sha1HardwareAvailable();

}  // namespace zorvane::digest
