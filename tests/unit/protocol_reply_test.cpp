// The initialise reply and the readers the service decodes with.
#include <gtest/gtest.h>

#include <zlib.h>

#include "core/base/trace.h"
#include "protocol/base64url.h"
#include "protocol/field_text.h"
#include "protocol/form_fields.h"
#include "protocol/initialise_reply.h"
#include "protocol/zlib_codec.h"

using namespace zorvane;
using namespace zorvane::protocol;

namespace {

class InitialiseReply : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = setTraceSink([this](std::u16string_view text) { traces.emplace_back(text); });
    }
    void TearDown() override { setTraceSink(previous_); }

    std::vector<ProcessRecord> processes = std::vector<ProcessRecord>(3);
    ProcessRecord scan;
    std::vector<std::u16string> traces;

private:
    TraceSink previous_;
};

}  // namespace

TEST_F(InitialiseReply, StoresIdsMarksUnknownFilesAndKeepsFieldsAsTheyStand)
{
    ASSERT_TRUE(applyInitialiseReply(processes, scan, u"42|7,-9,15|2026-12-08 10:00|10.0.0.1\r\n"));
    EXPECT_EQ(scan["scanId"], u"42");
    EXPECT_EQ(scan["scanTime"], u"2026-12-08 10:00");
    EXPECT_EQ(scan["client_ip"], u"10.0.0.1\r\n");
    EXPECT_EQ(processes[0]["staticId"], u"7");
    EXPECT_EQ(processes[1]["staticId"], u"9");
    EXPECT_EQ(processes[2]["staticId"], u"15");
    EXPECT_EQ(processes[1]["corvUnknown"], u"1");
    ASSERT_TRUE(processes[0].contains("corvUnknown"));
    EXPECT_EQ(processes[0]["corvUnknown"], u"");
    EXPECT_EQ(processes[2]["corvUnknown"], u"");
    EXPECT_TRUE(traces.empty());
}

TEST_F(InitialiseReply, EmptyIdsAndALoneDashMark)
{
    processes[0]["corvUnknown"] = u"1";
    ASSERT_TRUE(applyInitialiseReply(processes, scan, u"1|,-,--4|t|a"));
    EXPECT_EQ(processes[0]["staticId"], u"");
    EXPECT_EQ(processes[0]["corvUnknown"], u"") << "a stale mark is cleared";
    EXPECT_EQ(processes[1]["staticId"], u"");
    EXPECT_EQ(processes[1]["corvUnknown"], u"1");
    EXPECT_EQ(processes[2]["staticId"], u"-4") << "only the first dash is the mark";
    EXPECT_EQ(processes[2]["corvUnknown"], u"1");
}

TEST_F(InitialiseReply, AFieldCountOtherThanFourStoresNothing)
{
    for (std::u16string_view reply : {u"42|7,9,15|t|a|", u"42|7,9,15|t", u"", u"||||"}) {
        EXPECT_FALSE(applyInitialiseReply(processes, scan, reply));
        EXPECT_TRUE(scan.empty());
        EXPECT_FALSE(processes[0].contains("staticId"));
    }
    ASSERT_EQ(traces.size(), 4u);
    EXPECT_EQ(traces[0], u"No of static id fields returned from server is %d, expected 4.\n");
}

TEST_F(InitialiseReply, AWrongIdCountStillStoresTheScanValuesButNoProcessValue)
{
    EXPECT_FALSE(applyInitialiseReply(processes, scan, u"42|7,9,15,|t|a"));
    EXPECT_EQ(scan["scanId"], u"42");
    EXPECT_EQ(scan["scanTime"], u"t");
    EXPECT_EQ(scan["client_ip"], u"a");
    for (const ProcessRecord& record : processes)
        EXPECT_TRUE(record.empty());
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0], u"The number of static ids returned from server is %d, while there are %d processes.\n");

    // No records take an empty list and nothing else; one record takes an
    // empty id from the same field.
    std::vector<ProcessRecord> none;
    EXPECT_TRUE(applyInitialiseReply(none, scan, u"42||t|a"));
    EXPECT_FALSE(applyInitialiseReply(none, scan, u"42|,|t|a"));
    EXPECT_FALSE(applyInitialiseReply(none, scan, u"42|7|t|a"));
    std::vector<ProcessRecord> one(1);
    EXPECT_TRUE(applyInitialiseReply(one, scan, u"42||t|a"));
    EXPECT_EQ(one[0]["staticId"], u"");

    // A trailing comma is accepted when the count happens to match.
    std::vector<ProcessRecord> four(4);
    EXPECT_TRUE(applyInitialiseReply(four, scan, u"42|7,9,15,|t|a"));
    EXPECT_EQ(four[3]["staticId"], u"");
}

TEST_F(InitialiseReply, AScanIdThatWouldBreakTheRequestIsRefused)
{
    for (std::u16string_view reply :
         {u"4\r\n2|1,2,3|t|a", u"4 2|1,2,3|t|a", u"4\t2|1,2,3|t|a", u"\x7f|1,2,3|t|a", u"4\u0085|1,2,3|t|a"}) {
        EXPECT_FALSE(applyInitialiseReply(processes, scan, reply));
        EXPECT_TRUE(scan.empty());
        EXPECT_TRUE(processes[0].empty());
    }
    EXPECT_TRUE(applyInitialiseReply(processes, scan, u"a/b?c\u00e9%s|1,2,3|t|a")) << "other ids are used as they stand";
    EXPECT_EQ(scan["scanId"], u"a/b?c\u00e9%s");
}

TEST(InitialiseReplyFormat, TheServiceReplyReadsBack)
{
    const std::string reply = formatInitialiseReply("42", {"7", "-9", "15"}, "t", "127.0.0.1");
    EXPECT_EQ(reply, "42|7,-9,15|t|127.0.0.1");
    std::vector<ProcessRecord> processes(3);
    ProcessRecord scan;
    EXPECT_TRUE(applyInitialiseReply(processes, scan, std::u16string(reply.begin(), reply.end())));
}

TEST(Base64UrlDecode, RoundTripsAndRefusesWhatTheEncoderNeverWrites)
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    for (std::size_t n : {0u, 1u, 2u, 3u, 255u, 256u})
        EXPECT_EQ(base64UrlDecode(base64UrlEncode(all.substr(0, n))), all.substr(0, n));
    for (std::string_view bad : {"Zg", "Zg=", "Zm9vY", "Zm+v", "Zm/v", "Zg==Zg==", "Z===", "====", "Zh==", "Zm9=",
                                 "Zm 9", "Zm9v\n"})
        EXPECT_FALSE(base64UrlDecode(bad)) << bad;
}

TEST(InflateZlib, BoundedOutputAndWholeStreamsOnly)
{
    const std::string text(100000, 'z');
    const auto stream = compressLevel9(text);
    ASSERT_TRUE(stream);
    EXPECT_EQ(inflateZlib(*stream, text.size()), text);
    EXPECT_FALSE(inflateZlib(*stream, text.size() - 1)) << "a bomb over the cap fails";
    EXPECT_FALSE(inflateZlib(stream->substr(0, stream->size() - 1), text.size())) << "truncated";
    EXPECT_FALSE(inflateZlib(*stream + "x", text.size())) << "trailing bytes";
    EXPECT_FALSE(inflateZlib("not zlib", text.size()));
    EXPECT_FALSE(inflateZlib("", text.size()));
    EXPECT_EQ(inflateZlib(*compressLevel9(""), 0), "");
}

TEST(InflateZlib, CompressedOutputFitsTheSizedBufferForIncompressibleData)
{
    std::string noise;
    std::uint32_t state = 12345;
    for (int i = 0; i < 70000; ++i) {
        state = state * 1103515245 + 12345;
        noise.push_back(static_cast<char>(state >> 24));
    }
    for (std::size_t n : {0u, 1u, 999u, 1000u, 70000u}) {
        const auto stream = compressLevel9(noise.substr(0, n));
        ASSERT_TRUE(stream) << n;
        EXPECT_EQ(inflateZlib(*stream, n), noise.substr(0, n));
    }
}

TEST(DecodeField, Base64ThenInflateWithTheCap)
{
    const std::string encoded = base64UrlEncode(*compressLevel9("a\tb\nc"));
    EXPECT_EQ(decodeField(encoded, true, 100), "a\tb\nc");
    EXPECT_FALSE(decodeField(encoded, true, 4));
    EXPECT_EQ(decodeField(base64UrlEncode("raw"), false, 3), "raw");
    EXPECT_FALSE(decodeField(base64UrlEncode("raw"), false, 2));
    EXPECT_FALSE(decodeField("@@@@", true, 100));
}

TEST(FormBody, JoinsInNameOrderAndParsesBack)
{
    FormFields fields{{"static_ids", ""}, {"input", "QQ=="}, {"scan_id", "7"}, {"input_static", "eJ"}};
    const std::string body = buildBody(fields);
    EXPECT_EQ(body, "input=QQ==&input_static=eJ&scan_id=7&static_ids=");
    EXPECT_EQ(parseBody(body), fields);
    EXPECT_EQ(buildBody({}), "");
    EXPECT_EQ(parseBody(""), FormFields{});
    for (std::string_view bad : {"a", "=x", "a=1&a=2", "a=1&", "&a=1"})
        EXPECT_FALSE(parseBody(bad)) << bad;
}

TEST(FieldText, LinesColumnsAndBackslashes)
{
    EXPECT_EQ(splitText(std::string_view("a\t\tb"), '\t'), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(splitText(std::string_view(""), ','), std::vector<std::string>{""});
    EXPECT_EQ(splitText(std::string_view("a,"), ',').size(), 2u);
    EXPECT_EQ(undoubleBackslashes("x:\\\\a\\\\\\\\"), "x:\\a\\\\");
    EXPECT_FALSE(undoubleBackslashes("x:\\a"));
    EXPECT_FALSE(undoubleBackslashes("x\\"));
}
