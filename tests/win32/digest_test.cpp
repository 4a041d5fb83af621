// The digest engines as the Windows builds compile them: the SHA extension
// path, and in 32-bit code entered with a stack that is not 16-byte aligned,
// as 32-bit Windows may hand a thread entry or a callback.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/base/keys.h"
#include "core/digest/digest_text.h"
#include "core/digest/md5_sha1.h"
#include "core/digest/sha1.h"
#include "core/extractors/hash_extractor.h"

using namespace zorvane;

namespace {

#if defined(__i386__)
struct HashJob {
    std::vector<std::uint8_t> bytes;
    digest::Md5Sha1Digests result{};
};

void hashJob(void* argument)
{
    auto& job = *static_cast<HashJob*>(argument);
    digest::Md5Sha1 digests;
    digests.update(job.bytes.data(), job.bytes.size());
    job.result = digests.finish();
}

// Calls fn(argument) with the stack pointer 4 bytes off the 16-byte alignment
// that 32-bit GCC code otherwise assumes on entry. The x64 calling convention
// guarantees the alignment, so there is nothing to stage there.
__attribute__((noinline)) void callWithMisalignedStack(void (*fn)(void*), void* argument)
{
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "andl $-16, %%esp\n\t"
        "subl $8, %%esp\n\t"
        "pushl %1\n\t"
        "calll *%0\n\t"
        "movl %%esi, %%esp\n\t"
        :
        : "r"(fn), "r"(argument)
        : "eax", "ecx", "edx", "esi", "memory", "cc");
}
#endif

}  // namespace

TEST(Digests, HashExtractorGivesThePublishedDigestsInTheWindowsBuild)
{
    GTEST_LOG_(INFO) << "SHA extensions: " << (digest::sha1HardwareAvailable() ? "yes" : "no");
    const std::vector<std::uint8_t> million(1000000, 'a');
    HashExtractor extractor;
    ProcessRecord record;
    extractor.bind(&record);
    extractor.onImageBegin();
    for (std::size_t offset = 0; offset < million.size(); offset += 65536)
        extractor.onImageData(million.data() + offset,
                              static_cast<std::uint32_t>(std::min<std::size_t>(65536, million.size() - offset)));
    extractor.onImageEnd();
    EXPECT_EQ(record[keys::kHashMd5], u"7707d6ae4e027c70eea2a935c2296f21");
    EXPECT_EQ(record[keys::kHashSha1], u"34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(md5OfTexts({u"ab", u"c"}), u"ce1473cf80c6b3fda8e3dfc006adc315");
}

#if defined(__i386__)
TEST(Digests, MisalignedStackOnEntryStillHashesCorrectly)
{
    HashJob job;
    for (std::size_t i = 0; i < 10000; ++i)
        job.bytes.push_back(static_cast<std::uint8_t>(i * 131 + (i >> 8)));
    callWithMisalignedStack(hashJob, &job);

    digest::Md5Sha1Portable portable;
    portable.update(job.bytes.data(), job.bytes.size());
    EXPECT_EQ(job.result.md5, portable.finish().md5);
    EXPECT_EQ(job.result.sha1, portable.finish().sha1);
}
#endif
