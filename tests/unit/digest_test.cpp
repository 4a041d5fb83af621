#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/keys.h"
#include "core/digest/digest_text.h"
#include "core/digest/md5.h"
#include "core/digest/md5_sha1.h"
#include "core/digest/sha1.h"
#include "core/extractors/hash_extractor.h"

using namespace zorvane;
using namespace zorvane::digest;

namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text)
{
    return {text.begin(), text.end()};
}

// The same deterministic bytes the expected values below were computed from.
std::vector<std::uint8_t> pattern(std::size_t size)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8));
    return bytes;
}

template <class Digest>
std::u16string hex(const Digest& d)
{
    return toHexText(d.data(), d.size());
}

// Feeds the bytes in uneven pieces that straddle block boundaries.
template <class Context>
void feedUnevenly(Context& context, const std::vector<std::uint8_t>& bytes)
{
    static constexpr std::size_t kPieces[] = {1, 7, 63, 64, 65, 1000, 3, 4096};
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < bytes.size(); ++i) {
        const std::size_t piece = std::min(kPieces[i % std::size(kPieces)], bytes.size() - offset);
        context.update(bytes.data() + offset, piece);
        offset += piece;
    }
}

template <class Context>
auto digestOf(const std::vector<std::uint8_t>& bytes)
{
    Context context;
    context.update(bytes.data(), bytes.size());
    return context.finish();
}

struct Expected {
    std::vector<std::uint8_t> message;
    std::u16string md5;
    std::u16string sha1;
};

std::vector<Expected> standardVectors()
{
    return {
        {bytesOf(""), u"d41d8cd98f00b204e9800998ecf8427e", u"da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {bytesOf("a"), u"0cc175b9c0f1b6a831c399e269772661", u"86f7e437faa5a7fce15d1ddcb9eaeaea377667b8"},
        {bytesOf("abc"), u"900150983cd24fb0d6963f7d28e17f72", u"a9993e364706816aba3e25717850c26c9cd0d89d"},
        {bytesOf("message digest"), u"f96b697d7cb7938d525a2f31aaf161d0",
         u"c12252ceda8be8994d5fa0290a47231c1d16aae3"},
        {bytesOf("abcdefghijklmnopqrstuvwxyz"), u"c3fcd3d76192e4007dfb496cca67e13b",
         u"32d10c7b8cf96570ca04ce37f2a19d84240d3a89"},
        {bytesOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
         u"d174ab98d277d9f5a5611c2c9f419d9f", u"761c457bf73b14d27e9e9265c46f4b4dda11f940"},
        {bytesOf("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
         u"57edf4a22be3c955ac49da2e2107b67a", u"50abf5706a150990a08b2c5ea40fa0e585554732"},
        {bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), u"8215ef0796a20bcaaae116d3876c664a",
         u"84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::vector<std::uint8_t>(1000000, 'a'), u"7707d6ae4e027c70eea2a935c2296f21",
         u"34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
}

// Lengths around the padding boundaries: 55 leaves room for 0x80 and the
// length, 56 to 63 need a second closing block, 64 needs a whole one.
std::vector<Expected> boundaryVectors()
{
    return {
        {pattern(0), u"d41d8cd98f00b204e9800998ecf8427e", u"da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {pattern(55), u"94547360afd92a27850d16e32d14c445", u"336243d03df910f7914a14b13dd85f56c140660c"},
        {pattern(56), u"d8b26c30e907ae405b581a02e8a976e1", u"f5cc93d5593579203ae8f3fc497baabf4fdfb417"},
        {pattern(63), u"95ed95025fc61e86816e873b2a15614b", u"dba1c0f21c62eea4b5d19857487ded0db6095343"},
        {pattern(64), u"543faeacda37eef7bf1d36b5b1e602c3", u"4360095a2eea45a13a83190aeb049821aee57f46"},
        {pattern(65), u"30b3b7bb110de0c3f8f5054f841bf029", u"c0cfbc1b7f847964bf5e51ded17c7d0e2c0f4555"},
        {pattern(65537), u"60269e68771054c05ae64063fc5b36d2", u"2ed858ed8c8cbe5b1b02af5c0783a4f4a479d2a3"},
    };
}

template <class Md5Sha1Context, class Sha1Context>
void expectEveryEngineMatches(const std::vector<Expected>& vectors, bool uneven)
{
    for (const Expected& v : vectors) {
        SCOPED_TRACE(v.message.size());
        Md5 md5;
        Sha1Context sha1;
        Md5Sha1Context both;
        if (uneven) {
            feedUnevenly(md5, v.message);
            feedUnevenly(sha1, v.message);
            feedUnevenly(both, v.message);
        } else {
            md5.update(v.message.data(), v.message.size());
            sha1.update(v.message.data(), v.message.size());
            both.update(v.message.data(), v.message.size());
        }
        EXPECT_EQ(hex(md5.finish()), v.md5);
        EXPECT_EQ(hex(sha1.finish()), v.sha1);
        EXPECT_EQ(hex(both.finish().md5), v.md5);
        EXPECT_EQ(hex(both.finish().sha1), v.sha1);
    }
}

}  // namespace

TEST(DigestEngines, PublishedVectorsInOnePiece)
{
    expectEveryEngineMatches<Md5Sha1, Sha1>(standardVectors(), false);
    expectEveryEngineMatches<Md5Sha1Portable, Sha1Portable>(standardVectors(), false);
}

TEST(DigestEngines, PaddingBoundariesFedInUnevenPieces)
{
    expectEveryEngineMatches<Md5Sha1, Sha1>(boundaryVectors(), true);
    expectEveryEngineMatches<Md5Sha1Portable, Sha1Portable>(boundaryVectors(), true);
    expectEveryEngineMatches<Md5Sha1, Sha1>(standardVectors(), true);
}

TEST(DigestEngines, AcceleratedAndPortablePathsAgreeOnRandomSplits)
{
    if (!sha1HardwareAvailable())
        GTEST_LOG_(INFO) << "no SHA extensions here: both sides take the portable path";
    std::mt19937 random(1321);
    for (int round = 0; round < 40; ++round) {
        std::vector<std::uint8_t> bytes(random() % 5000);
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(random());
        Md5Sha1 fast;
        Md5Sha1Portable portable;
        for (std::size_t offset = 0; offset < bytes.size();) {
            const std::size_t piece = std::min<std::size_t>(random() % 300 + 1, bytes.size() - offset);
            fast.update(bytes.data() + offset, piece);
            portable.update(bytes.data() + offset, piece);
            offset += piece;
        }
        EXPECT_EQ(fast.finish().md5, portable.finish().md5);
        EXPECT_EQ(fast.finish().sha1, portable.finish().sha1);
        EXPECT_EQ(fast.finish().sha1, digestOf<Sha1>(bytes));
        EXPECT_EQ(fast.finish().md5, digestOf<Md5>(bytes));
    }
}

TEST(DigestEngines, FinishLeavesTheContextUsableAndResetStartsOver)
{
    const auto abc = bytesOf("abc");
    Md5Sha1 both;
    both.update(abc.data(), 1);
    EXPECT_EQ(hex(both.finish().md5), u"0cc175b9c0f1b6a831c399e269772661");
    both.update(abc.data() + 1, 2);
    EXPECT_EQ(hex(both.finish().md5), u"900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex(both.finish().sha1), u"a9993e364706816aba3e25717850c26c9cd0d89d");
    both.reset();
    EXPECT_EQ(hex(both.finish().sha1), u"da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(DigestText, HexIsLowercaseHighNibbleFirst)
{
    const std::uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xf0, 0xff, 0x9b};
    EXPECT_EQ(toHexText(bytes, std::size(bytes)), u"000fa5f0ff9b");
    EXPECT_EQ(toHexText(bytes, 0), u"");
}

TEST(DigestText, Md5OfTextsHashesTheJoinedUtf16LeUnits)
{
    const std::u16string abc16 = u"ce1473cf80c6b3fda8e3dfc006adc315";  // MD5 of 61 00 62 00 63 00
    EXPECT_EQ(md5OfTexts({u"abc"}), abc16);
    EXPECT_EQ(md5OfTexts({u"ab", u"c"}), abc16);
    EXPECT_EQ(md5OfTexts({u"", u"a", u"", u"bc"}), abc16);
    EXPECT_NE(md5OfTexts({u"abc"}), u"900150983cd24fb0d6963f7d28e17f72");  // not the ASCII bytes
    EXPECT_EQ(md5OfTexts(std::vector<std::u16string>{u"a", u"bc"}), abc16);

    EXPECT_EQ(md5OfTexts({}), u"d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5OfTexts(std::vector<std::u16string>{}), u"d41d8cd98f00b204e9800998ecf8427e");

    // High bytes and surrogate pairs go in as their code units, low byte first.
    EXPECT_EQ(md5OfTexts({u"Z\u00e9\u4e2d\U0001F600"}), u"168b4b3fb054ceb2ed713133c4afa0a9");
    // Longer than the internal buffer.
    EXPECT_EQ(md5OfTexts({std::u16string(300, u'x'), std::u16string(300, u'y')}),
              u"549312d80f8b9a56a997e3d83f76dcc2");
}

namespace {

void hashImage(HashExtractor& extractor, const std::vector<std::uint8_t>& bytes, std::size_t blockSize)
{
    extractor.onImageBegin();
    for (std::size_t offset = 0; offset < bytes.size(); offset += blockSize) {
        const std::size_t count = std::min(blockSize, bytes.size() - offset);
        extractor.onImageData(bytes.data() + offset, static_cast<std::uint32_t>(count));
    }
    extractor.onImageEnd();
}

}  // namespace

TEST(HashExtractor, StoresBothDigestsAsLowercaseHex)
{
    HashExtractor extractor;
    EXPECT_EQ(extractor.name(), "hash");
    ProcessRecord record;
    extractor.bind(&record);
    hashImage(extractor, pattern(200000), 65536);

    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(*record.find(keys::kHashMd5), u"609a5f721799b24f772ffd14bd85fd5c");
    EXPECT_EQ(*record.find(keys::kHashSha1), u"e74eeaa3bff2a87c2acf18b0a24a3ba316421555");
}

TEST(HashExtractor, EmptyImageGivesTheDigestsOfEmptyInput)
{
    HashExtractor extractor;
    ProcessRecord record;
    extractor.bind(&record);
    extractor.onImageBegin();
    extractor.onImageEnd();
    EXPECT_EQ(record[keys::kHashMd5], u"d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(record[keys::kHashSha1], u"da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(HashExtractor, EachImageStartsAfreshAndSplitsDoNotMatter)
{
    HashExtractor extractor;
    ProcessRecord first;
    extractor.bind(&first);
    hashImage(extractor, pattern(65537), 65536);

    // A second image, read in odd blocks, owes nothing to the first.
    ProcessRecord second;
    extractor.bind(&second);
    hashImage(extractor, pattern(65537), 4099);
    EXPECT_EQ(first, second);
    EXPECT_EQ(second[keys::kHashMd5], u"60269e68771054c05ae64063fc5b36d2");
    EXPECT_EQ(second[keys::kHashSha1], u"2ed858ed8c8cbe5b1b02af5c0783a4f4a479d2a3");
}

TEST(HashExtractor, WritesNothingUnboundOrWithoutImageEvents)
{
    HashExtractor unbound;
    hashImage(unbound, pattern(100), 64);

    ProcessRecord record;
    HashExtractor extractor;
    extractor.bind(&record);
    extractor.extract(u"C:\\missing.dll");
    extractor.onProcess(4);
    EXPECT_TRUE(record.empty());
}
