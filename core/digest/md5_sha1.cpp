#include "core/digest/md5_sha1.h"

#include "core/digest/digest_rounds.h"

namespace zorvane::digest {

namespace {

#if ZORVANE_DIGEST_X86

// SHA-1 group G followed by its share of the 64 MD5 steps (three or four).
template <int G>
ZORVANE_DIGEST_INLINE ZORVANE_SHA_TARGET void mixedGroup(std::uint32_t (&md5)[4], detail::Sha1Vectors& sha1,
                                                         const std::uint8_t* block, __m128i mask)
{
    constexpr int first = G * 64 / 20;
    constexpr int last = (G + 1) * 64 / 20;
    detail::sha1Group<G>(sha1, block, mask);
    detail::md5Steps<first>(md5, block, std::make_integer_sequence<int, last - first>{});
}

template <int... G>
ZORVANE_DIGEST_INLINE ZORVANE_SHA_TARGET void mixedGroups(std::uint32_t (&md5)[4], detail::Sha1Vectors& sha1,
                                                          const std::uint8_t* block, __m128i mask,
                                                          std::integer_sequence<int, G...>)
{
    (mixedGroup<G>(md5, sha1, block, mask), ...);
}

ZORVANE_SHA_ENTRY void compressInterleaved(Md5Sha1Engine::State& state, const std::uint8_t* blocks, std::size_t count)
{
    const __m128i mask = detail::sha1ByteSwapMask();
    detail::Sha1Vectors sha1 = detail::sha1LoadVectors(state.sha1);
    std::uint32_t md5[4] = {state.md5[0], state.md5[1], state.md5[2], state.md5[3]};
    for (; count != 0; --count, blocks += kBlockSize) {
        const std::uint32_t md5Start[4] = {md5[0], md5[1], md5[2], md5[3]};
        const __m128i abcdStart = sha1.abcd;
        mixedGroups(md5, sha1, blocks, mask, std::make_integer_sequence<int, 20>{});
        detail::sha1EndBlock(sha1, abcdStart);
        for (int i = 0; i < 4; ++i)
            md5[i] += md5Start[i];
    }
    detail::sha1StoreVectors(sha1, state.sha1);
    for (int i = 0; i < 4; ++i)
        state.md5[i] = md5[i];
}

#endif

// Five SHA-1 steps and four MD5 steps of the same block.
template <int G>
ZORVANE_DIGEST_INLINE void portableGroup(std::uint32_t (&md5)[4], std::uint32_t (&sha1)[5], std::uint32_t (&w)[16],
                                         const std::uint8_t* block)
{
    detail::sha1Steps(sha1, w, block, std::integer_sequence<int, 5 * G, 5 * G + 1, 5 * G + 2, 5 * G + 3, 5 * G + 4>{});
    detail::md5Steps<4 * G>(md5, block, std::make_integer_sequence<int, 4>{});
}

template <int... G>
ZORVANE_DIGEST_INLINE void portableGroups(std::uint32_t (&md5)[4], std::uint32_t (&sha1)[5], std::uint32_t (&w)[16],
                                          const std::uint8_t* block, std::integer_sequence<int, G...>)
{
    (portableGroup<G>(md5, sha1, w, block), ...);
}

}  // namespace

void Md5Sha1Engine::compress(State& state, const std::uint8_t* blocks, std::size_t blockCount)
{
#if ZORVANE_DIGEST_X86
    if (sha1HardwareAvailable()) {
        compressInterleaved(state, blocks, blockCount);
        return;
    }
#endif
    Md5Sha1PortableEngine::compress(state, blocks, blockCount);
}

Md5Sha1Engine::Digest Md5Sha1Engine::complete(State& state, const std::uint8_t* tail, std::size_t tailSize,
                                              std::uint64_t messageBytes)
{
    return {Md5Engine::complete(state.md5, tail, tailSize, messageBytes),
            Sha1Engine::complete(state.sha1, tail, tailSize, messageBytes)};
}

void Md5Sha1PortableEngine::compress(State& state, const std::uint8_t* blocks, std::size_t blockCount)
{
    // Interleaving keeps about fourteen words in registers. With 64-bit
    // registers to spare it is much faster; on 32-bit x86 the spills make it
    // slower than one engine after the other, block by block.
    if constexpr (sizeof(void*) < 8) {
        for (; blockCount != 0; --blockCount, blocks += kBlockSize) {
            Md5Engine::compress(state.md5, blocks, 1);
            Sha1PortableEngine::compress(state.sha1, blocks, 1);
        }
    } else {
        std::uint32_t md5[4] = {state.md5[0], state.md5[1], state.md5[2], state.md5[3]};
        std::uint32_t sha1[5] = {state.sha1[0], state.sha1[1], state.sha1[2], state.sha1[3], state.sha1[4]};
        std::uint32_t w[16];
        for (; blockCount != 0; --blockCount, blocks += kBlockSize) {
            portableGroups(md5, sha1, w, blocks, std::make_integer_sequence<int, 16>{});
            for (int i = 0; i < 4; ++i)
                md5[i] = state.md5[i] += md5[i];
            for (int i = 0; i < 5; ++i)
                sha1[i] = state.sha1[i] += sha1[i];
        }
    }
}

Md5Sha1PortableEngine::Digest Md5Sha1PortableEngine::complete(State& state, const std::uint8_t* tail,
                                                              std::size_t tailSize, std::uint64_t messageBytes)
{
    return {Md5Engine::complete(state.md5, tail, tailSize, messageBytes),
            Sha1PortableEngine::complete(state.sha1, tail, tailSize, messageBytes)};
}

}  // namespace zorvane::digest
