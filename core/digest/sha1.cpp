#include "core/digest/sha1.h"

#include "core/digest/digest_rounds.h"

#if ZORVANE_DIGEST_X86
#include <cpuid.h>
#endif

namespace zorvane::digest {

namespace {

#if ZORVANE_DIGEST_X86
bool detectShaExtensions()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    // __get_cpuid checks that the cpuid instruction exists (it may not on old 32-bit processors).
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    if ((ecx & bit_SSSE3) == 0 || (ecx & bit_SSE4_1) == 0)
        return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    return (ebx & bit_SHA) != 0;
}

ZORVANE_SHA_ENTRY void sha1CompressWithExtensions(Sha1Engine::State& state, const std::uint8_t* blocks,
                                                  std::size_t count)
{
    const __m128i mask = detail::sha1ByteSwapMask();
    detail::Sha1Vectors s = detail::sha1LoadVectors(state);
    for (; count != 0; --count, blocks += kBlockSize) {
        const __m128i abcdStart = s.abcd;
        detail::sha1Groups(s, blocks, mask, std::make_integer_sequence<int, 20>{});
        detail::sha1EndBlock(s, abcdStart);
    }
    detail::sha1StoreVectors(s, state);
}
#endif

}  // namespace

bool sha1HardwareAvailable()
{
#if ZORVANE_DIGEST_X86
    static const bool available = detectShaExtensions();
    return available;
#else
    return false;
#endif
}

void Sha1PortableEngine::compress(State& state, const std::uint8_t* blocks, std::size_t blockCount)
{
    std::uint32_t v[5] = {state[0], state[1], state[2], state[3], state[4]};
    std::uint32_t w[16];
    for (; blockCount != 0; --blockCount, blocks += kBlockSize) {
        detail::sha1Steps(v, w, blocks, std::make_integer_sequence<int, 80>{});
        for (int i = 0; i < 5; ++i)
            v[i] = state[i] += v[i];
    }
}

Sha1PortableEngine::Digest Sha1PortableEngine::complete(State& state, const std::uint8_t* tail, std::size_t tailSize,
                                                        std::uint64_t messageBytes)
{
    return completeMessage<true, Digest>(state, tail, tailSize, messageBytes, &Sha1PortableEngine::compress);
}

void Sha1Engine::compress(State& state, const std::uint8_t* blocks, std::size_t blockCount)
{
#if ZORVANE_DIGEST_X86
    if (sha1HardwareAvailable()) {
        sha1CompressWithExtensions(state, blocks, blockCount);
        return;
    }
#endif
    Sha1PortableEngine::compress(state, blocks, blockCount);
}

Sha1Engine::Digest Sha1Engine::complete(State& state, const std::uint8_t* tail, std::size_t tailSize,
                                        std::uint64_t messageBytes)
{
    return completeMessage<true, Digest>(state, tail, tailSize, messageBytes, &Sha1Engine::compress);
}

}  // namespace zorvane::digest
