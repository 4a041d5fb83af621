#include "core/extractors/md5.h"

#include "core/extractors/digest_rounds.h"

namespace zorvane::digest {

void Md5Engine::compress(State& state, const std::uint8_t* blocks, std::size_t blockCount)
{
    detail::md5Blocks(state, blocks, blockCount);
}

Md5Engine::Digest Md5Engine::complete(State& state, const std::uint8_t* tail, std::size_t tailSize,
                                      std::uint64_t messageBytes)
{
    completeMessage<false>(state, tail, tailSize, messageBytes, &Md5Engine::compress);
    return output(state);
}

Md5Engine::Digest Md5Engine::output(const State& state)
{
    Digest digest;
    for (std::size_t i = 0; i < digest.size(); ++i)
        digest[i] = static_cast<std::uint8_t>(state[i / 4] >> (8 * (i % 4)));
    return digest;
}

}  // namespace zorvane::digest
