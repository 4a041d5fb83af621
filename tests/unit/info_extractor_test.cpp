#include <gtest/gtest.h>

#include "core/base/keys.h"
#include "core/base/text_format.h"
#include "core/extractors/info_extractor.h"

using namespace zorvane;

namespace {

// An extractor that exposes the protected helpers.
class ProbeExtractor : public InfoExtractor {
public:
    ProbeExtractor() : InfoExtractor("probe") {}
    using InfoExtractor::reportError;
    using InfoExtractor::setProperty;
};

}  // namespace

TEST(InfoExtractor, NamesAndPrefixesFollowTheSourceName)
{
    ProbeExtractor probe;
    EXPECT_EQ(probe.name(), "probe");
    EXPECT_EQ(probe.prefix(), "probe.");
    EXPECT_EQ(probe.wideName(), u"probe");
    EXPECT_EQ(probe.widePrefix(), u"probe.");
    EXPECT_EQ(probe.currentRecord(), nullptr);
}

TEST(InfoExtractor, HelpersWriteNothingWhenUnbound)
{
    ProbeExtractor probe;
    probe.setProperty("file", u"x");
    EXPECT_EQ(probe.reportError(u"failed %u", {7u}), u"failed 7");
}

TEST(InfoExtractor, DefaultEventsWriteNothing)
{
    ProcessRecord record;
    ProbeExtractor probe;
    probe.bind(&record);
    const std::uint8_t byte = 1;
    probe.onProcess(4);
    probe.onImageBegin();
    probe.onImageData(&byte, 1);
    probe.onImageEnd();
    probe.extract(u"C:\\x.dll");
    EXPECT_TRUE(record.empty());
}

TEST(InfoExtractor, SetPropertyWritesUnderThePrefixAndReplaces)
{
    ProcessRecord record;
    ProbeExtractor probe;
    probe.bind(&record);
    probe.setProperty("file", u"a");
    probe.setProperty("file", u"b");
    EXPECT_EQ(record["probe.file"], u"b");

    // Keys of any length, on either side of the short-key buffer's size.
    for (const std::size_t length : {57u, 58u, 59u, 300u}) {
        const std::string field(length, 'f');
        probe.setProperty(field, u"v" + std::u16string(length, u'x'));
        ASSERT_TRUE(record.contains("probe." + field)) << length;
        EXPECT_EQ(record["probe." + field].size(), length + 1) << length;
    }
    EXPECT_EQ(record.size(), 5u);
}

TEST(InfoExtractor, ReportErrorAccumulatesAcrossExtractors)
{
    ProcessRecord record;
    ProbeExtractor first;
    class Other : public InfoExtractor {
    public:
        Other() : InfoExtractor("handle") {}
        using InfoExtractor::reportError;
    } second;
    first.bind(&record);
    second.bind(&record);
    first.reportError(u"one %s", {u"x"});
    EXPECT_EQ(record[keys::kError], u"probe:one x");
    second.reportError(u"GetFileInformationByHandle failed for handle %u", {std::uintptr_t{44}});
    second.reportError(u"two");
    EXPECT_EQ(record[keys::kError],
              u"probe:one x, handle:GetFileInformationByHandle failed for handle 44, handle:two");
}

TEST(InfoExtractor, ReportErrorCutsOverlongMessages)
{
    ProcessRecord record;
    ProbeExtractor probe;
    probe.bind(&record);
    const std::u16string huge(20000, u'x');
    const std::u16string message = probe.reportError(u"%s!", {huge});
    EXPECT_EQ(message.size(), InfoExtractor::kMaxErrorMessage);
    EXPECT_EQ(record[keys::kError].size(), InfoExtractor::kMaxErrorMessage + 6);

    // A cut never leaves half a surrogate pair behind.
    std::u16string pairs;
    while (pairs.size() < 9000)
        pairs += u"\U0001F600";
    const std::u16string cut = probe.reportError(u"a%s", {pairs});
    EXPECT_LE(cut.size(), InfoExtractor::kMaxErrorMessage);
    EXPECT_FALSE(cut.back() >= 0xD800 && cut.back() <= 0xDBFF);
}

TEST(TextFormat, RendersTheDirectivesTheProgramUses)
{
    EXPECT_EQ(formatText(u"Error Number: %05u\r\n", {5u}), u"Error Number: 00005\r\n");
    EXPECT_EQ(formatText(u"%4.6f", {0.01}), u"0.010000");
    EXPECT_EQ(formatText(u"%d|%i|%ld|%I64d", {-3, 4, 5L, std::int64_t{-6}}), u"-3|4|5|-6");
    EXPECT_EQ(formatText(u"%x %X %#x", {255u, 255u, 16u}), u"ff FF 0x10");
    EXPECT_EQ(formatText(u"[%5s][%-5s][%.2s]", {u"ab", u"ab", u"abcd"}), u"[   ab][ab   ][ab]");
    EXPECT_EQ(formatText(u"100%% %s", {u"done"}), u"100% done");
}

TEST(TextFormat, NeverReadsPastItsArguments)
{
    EXPECT_EQ(formatText(u"%s %s %d", {u"only"}), u"only  ");
    EXPECT_EQ(formatText(u"%d", {u"text"}), u"text");
    EXPECT_EQ(formatText(u"%s", {12}), u"12");
    EXPECT_EQ(formatText(u"%n %q trailing %", {}), u"%n %q trailing %");
    EXPECT_EQ(formatText(u"%99999999d", {1}).size(), 4096u);
}
