#pragma once
// MD5 and SHA-1 of the same message in one pass, each block compressed by
// both while it is in the cache. The two compressions are interleaved step by
// step, so that SHA-1 runs in the gaps that MD5's serial chain of additions
// leaves: always with the SHA extensions, and without them where there are
// registers enough (64-bit code).

#include <cstddef>
#include <cstdint>

#include "core/digest/block_digest.h"
#include "core/digest/md5.h"
#include "core/digest/sha1.h"

namespace zorvane::digest {

struct Md5Sha1Digests {
    Md5Engine::Digest md5;
    Sha1Engine::Digest sha1;
};

struct Md5Sha1Engine {
    struct State {
        Md5Engine::State md5;
        Sha1Engine::State sha1;
    };
    using Digest = Md5Sha1Digests;
    static constexpr State kInitial{Md5Engine::kInitial, Sha1Engine::kInitial};

    static void compress(State& state, const std::uint8_t* blocks, std::size_t blockCount);
    static Digest complete(State& state, const std::uint8_t* tail, std::size_t tailSize, std::uint64_t messageBytes);
};

// Never uses the SHA extensions: the path of processors without them.
struct Md5Sha1PortableEngine : Md5Sha1Engine {
    static void compress(State& state, const std::uint8_t* blocks, std::size_t blockCount);
    static Digest complete(State& state, const std::uint8_t* tail, std::size_t tailSize, std::uint64_t messageBytes);
};

using Md5Sha1 = BlockDigest<Md5Sha1Engine>;
using Md5Sha1Portable = BlockDigest<Md5Sha1PortableEngine>;

}  // namespace zorvane::digest
