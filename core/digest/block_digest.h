#pragma once
// The streaming scaffold that MD5 and SHA-1 share: a 64-byte block buffer, the
// message length, and the common message completion (0x80, zeros up to 56
// modulo 64, the 64-bit bit count). Nothing here allocates.
//
// An Engine supplies:
//   State, Digest, kInitial
//   static void compress(State&, const std::uint8_t* blocks, std::size_t blockCount);
//   static Digest complete(State&, const std::uint8_t* tail, std::size_t tailSize,
//                          std::uint64_t messageBytes);
// where complete() finishes a message whose last tailSize (< 64) bytes were
// never compressed.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorvane::digest {

inline constexpr std::size_t kBlockSize = 64;

template <class Engine>
class BlockDigest {
public:
    using State = typename Engine::State;
    using Digest = typename Engine::Digest;

    BlockDigest() { reset(); }

    void reset()
    {
        state_ = Engine::kInitial;
        length_ = 0;
    }

    // Feeds the next bytes of the message. However a message is split into
    // pieces, the digest is the same.
    void update(const std::uint8_t* data, std::size_t count)
    {
        if (count == 0)
            return;
        std::size_t used = static_cast<std::size_t>(length_ % kBlockSize);
        length_ += count;
        if (used != 0) {
            const std::size_t take = std::min(count, kBlockSize - used);
            std::memcpy(buffer_.data() + used, data, take);
            data += take;
            count -= take;
            if (used + take < kBlockSize)
                return;
            Engine::compress(state_, buffer_.data(), 1);
        }
        const std::size_t whole = count / kBlockSize;
        if (whole != 0) {
            Engine::compress(state_, data, whole);
            data += whole * kBlockSize;
            count -= whole * kBlockSize;
        }
        if (count != 0)
            std::memcpy(buffer_.data(), data, count);
    }

    // The digest of everything fed since the last reset. The context is left
    // as it was, so more data may follow.
    Digest finish() const
    {
        State state = state_;
        return Engine::complete(state, buffer_.data(), static_cast<std::size_t>(length_ % kBlockSize), length_);
    }

private:
    State state_;
    // Bytes fed since reset; the bit count of the standards is 8 x this, modulo 2^64.
    std::uint64_t length_;
    std::array<std::uint8_t, kBlockSize> buffer_{};
};

// Compresses the one or two closing blocks (the tail, 0x80, zeros, and the bit
// count) and reads the state words out as the digest, both in the standard's
// byte order: little-endian for MD5, big-endian for SHA-1.
template <bool BigEndian, class Digest, class State, class Compress>
Digest completeMessage(State& state, const std::uint8_t* tail, std::size_t tailSize, std::uint64_t messageBytes,
                       Compress compress)
{
    std::array<std::uint8_t, 2 * kBlockSize> closing{};
    if (tailSize != 0)
        std::memcpy(closing.data(), tail, tailSize);
    closing[tailSize] = 0x80;
    const std::size_t total = tailSize + 1 + 8 <= kBlockSize ? kBlockSize : 2 * kBlockSize;
    const std::uint64_t bits = messageBytes * 8;
    for (std::size_t i = 0; i < 8; ++i) {
        const unsigned shift = BigEndian ? 56 - 8 * i : 8 * i;
        closing[total - 8 + i] = static_cast<std::uint8_t>(bits >> shift);
    }
    compress(state, closing.data(), total / kBlockSize);

    Digest digest;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const unsigned shift = BigEndian ? 24 - 8 * (i % 4) : 8 * (i % 4);
        digest[i] = static_cast<std::uint8_t>(state[i / 4] >> shift);
    }
    return digest;
}

}  // namespace zorvane::digest
