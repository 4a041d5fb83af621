#include "core/digest/md5.h"

#include "core/digest/digest_rounds.h"

namespace zorvane::digest {

void Md5Engine::compress(State& state, const std::uint8_t* blocks, std::size_t blockCount)
{
    detail::md5Blocks(state, blocks, blockCount);
}

Md5Engine::Digest Md5Engine::complete(State& state, const std::uint8_t* tail, std::size_t tailSize,
                                      std::uint64_t messageBytes)
{
    return completeMessage<false, Digest>(state, tail, tailSize, messageBytes, &Md5Engine::compress);
}

}  // namespace zorvane::digest
