#pragma once
// The round functions of MD5 and SHA-1, as inline templates so that the
// stand-alone engines and the interleaved MD5+SHA-1 pass share one copy of
// them. Internal to the digest engines.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__i386__) || defined(__x86_64__)
#define ZORVANE_DIGEST_X86 1
#include <immintrin.h>
#endif

#define ZORVANE_DIGEST_INLINE inline __attribute__((always_inline))

#if ZORVANE_DIGEST_X86
// Functions using the SHA extensions are compiled for them one by one; the
// rest of the program keeps the baseline instruction set.
#define ZORVANE_SHA_TARGET __attribute__((target("sha,sse4.1")))
#if defined(__i386__)
// 32-bit Windows only promises 4-byte stack alignment on thread entry and in
// callbacks; realign before any 16-byte vector spill.
#define ZORVANE_SHA_ENTRY ZORVANE_SHA_TARGET __attribute__((force_align_arg_pointer))
#else
#define ZORVANE_SHA_ENTRY ZORVANE_SHA_TARGET
#endif
#endif

namespace zorvane::digest::detail {

ZORVANE_DIGEST_INLINE std::uint32_t load32le(const std::uint8_t* p)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    } else {
        return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
    }
}

ZORVANE_DIGEST_INLINE std::uint32_t load32be(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | std::uint32_t{p[3]};
}

// ---- MD5 (RFC 1321) ----

inline constexpr std::uint32_t kMd5Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

constexpr int md5Shift(int step)
{
    constexpr int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    return shifts[step / 16][step % 4];
}

constexpr int md5Word(int step)
{
    const int i = step % 16;
    switch (step / 16) {
    case 0: return i;
    case 1: return (5 * i + 1) % 16;
    case 2: return (3 * i + 5) % 16;
    default: return (7 * i) % 16;
    }
}

// Step I of the 64. The four words rotate roles: step 0 updates A, step 1
// updates D, and so on. Each step adds the round function last, so that only
// it waits for the word the previous step produced.
template <int I>
ZORVANE_DIGEST_INLINE void md5Step(std::uint32_t (&v)[4], const std::uint8_t* block)
{
    constexpr int a = (4 - I % 4) % 4, b = (a + 1) % 4, c = (a + 2) % 4, d = (a + 3) % 4;
    std::uint32_t x = v[a] + (kMd5Sines[I] + load32le(block + 4 * md5Word(I)));
    if constexpr (I < 16) {
        x += v[d] ^ (v[b] & (v[c] ^ v[d]));
    } else if constexpr (I < 32) {
        // (b & d) | (c & ~d): the two terms share no bit, and c & ~d does not wait for b.
        x += v[c] & ~v[d];
        x += v[b] & v[d];
    } else if constexpr (I < 48) {
        x += v[b] ^ (v[c] ^ v[d]);
    } else {
        x += v[c] ^ (v[b] | ~v[d]);
    }
    v[a] = std::rotl(x, md5Shift(I)) + v[b];
}

template <int First, int... I>
ZORVANE_DIGEST_INLINE void md5Steps(std::uint32_t (&v)[4], const std::uint8_t* block, std::integer_sequence<int, I...>)
{
    (md5Step<First + I>(v, block), ...);
}

ZORVANE_DIGEST_INLINE void md5Blocks(std::array<std::uint32_t, 4>& state, const std::uint8_t* blocks, std::size_t count)
{
    std::uint32_t v[4] = {state[0], state[1], state[2], state[3]};
    for (; count != 0; --count, blocks += 64) {
        const std::uint32_t start[4] = {v[0], v[1], v[2], v[3]};
        md5Steps<0>(v, blocks, std::make_integer_sequence<int, 64>{});
        for (int i = 0; i < 4; ++i)
            v[i] += start[i];
    }
    for (int i = 0; i < 4; ++i)
        state[i] = v[i];
}

// ---- SHA-1 (FIPS 180-1), portable ----

// Step I of the 80, with the five words rotating roles as in md5Step and the
// message schedule kept in a ring of sixteen words.
template <int I>
ZORVANE_DIGEST_INLINE void sha1Step(std::uint32_t (&v)[5], std::uint32_t (&w)[16], const std::uint8_t* block)
{
    constexpr int a = (5 - I % 5) % 5, b = (a + 1) % 5, c = (a + 2) % 5, d = (a + 3) % 5, e = (a + 4) % 5;
    std::uint32_t word;
    if constexpr (I < 16)
        word = w[I] = load32be(block + 4 * I);
    else
        word = w[I % 16] = std::rotl(w[(I + 13) % 16] ^ w[(I + 8) % 16] ^ w[(I + 2) % 16] ^ w[I % 16], 1);
    std::uint32_t f;
    std::uint32_t k;
    if constexpr (I < 20) {
        f = v[d] ^ (v[b] & (v[c] ^ v[d]));
        k = 0x5a827999;
    } else if constexpr (I < 40) {
        f = v[b] ^ v[c] ^ v[d];
        k = 0x6ed9eba1;
    } else if constexpr (I < 60) {
        f = (v[b] & v[c]) + (v[d] & (v[b] ^ v[c]));
        k = 0x8f1bbcdc;
    } else {
        f = v[b] ^ v[c] ^ v[d];
        k = 0xca62c1d6;
    }
    v[e] += (k + word) + f + std::rotl(v[a], 5);
    v[b] = std::rotl(v[b], 30);
}

template <int... I>
ZORVANE_DIGEST_INLINE void sha1Steps(std::uint32_t (&v)[5], std::uint32_t (&w)[16], const std::uint8_t* block,
                                     std::integer_sequence<int, I...>)
{
    (sha1Step<I>(v, w, block), ...);
}

#if ZORVANE_DIGEST_X86

// ---- SHA-1 with the SHA extensions ----
// The state lives in vectors: ABCD with A in the top lane, and E in the top
// lane of its own vector. Each group does four rounds.

struct Sha1Vectors {
    __m128i abcd;
    __m128i e;      // E at the start of the block
    __m128i prev;   // ABCD before the group just done; yields the next E
    __m128i w[4];   // message schedule, four words per vector, ring of four
};

ZORVANE_SHA_TARGET inline __m128i sha1ByteSwapMask()
{
    return _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
}

template <int G>
ZORVANE_DIGEST_INLINE ZORVANE_SHA_TARGET void sha1Group(Sha1Vectors& s, const std::uint8_t* block, __m128i mask)
{
    __m128i& w = s.w[G % 4];
    if constexpr (G < 4)
        w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * G)), mask);
    else
        w = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w, s.w[(G + 1) % 4]), s.w[(G + 2) % 4]),
                               s.w[(G + 3) % 4]);
    const __m128i e = G == 0 ? _mm_add_epi32(s.e, w) : _mm_sha1nexte_epu32(s.prev, w);
    s.prev = s.abcd;
    s.abcd = _mm_sha1rnds4_epu32(s.abcd, e, G / 5);
}

template <int... G>
ZORVANE_DIGEST_INLINE ZORVANE_SHA_TARGET void sha1Groups(Sha1Vectors& s, const std::uint8_t* block, __m128i mask,
                                                         std::integer_sequence<int, G...>)
{
    (sha1Group<G>(s, block, mask), ...);
}

ZORVANE_DIGEST_INLINE ZORVANE_SHA_TARGET Sha1Vectors sha1LoadVectors(const std::array<std::uint32_t, 5>& state)
{
    Sha1Vectors s;
    s.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data())), 0x1b);
    s.e = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    return s;
}

// Adds the block's result to the state at its start.
ZORVANE_DIGEST_INLINE ZORVANE_SHA_TARGET void sha1EndBlock(Sha1Vectors& s, __m128i abcdStart)
{
    s.e = _mm_sha1nexte_epu32(s.prev, s.e);
    s.abcd = _mm_add_epi32(s.abcd, abcdStart);
}

ZORVANE_DIGEST_INLINE ZORVANE_SHA_TARGET void sha1StoreVectors(const Sha1Vectors& s,
                                                               std::array<std::uint32_t, 5>& state)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data()), _mm_shuffle_epi32(s.abcd, 0x1b));
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(s.e, 3));
}

#endif

}  // namespace zorvane::digest::detail
