// The request bodies, read back with an independent decoder.
#include <gtest/gtest.h>

#include "core/base/conversions.h"
#include "protocol/base64url.h"
#include "protocol/request_encoder.h"
#include "protocol_wire_decoding.h"

using namespace zorvane;
using namespace zorvane::protocol;
using namespace zorvane::testing;

namespace {

std::string bytesOf(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

ProcessRecord processWith(std::initializer_list<std::pair<std::string, std::u16string>> values)
{
    ProcessRecord record;
    for (const auto& [key, value] : values)
        record[key] = value;
    return record;
}

struct DecodedSubmit {
    std::vector<std::string> names;  // in body order
    std::string input;
    std::string inputStatic;
    std::string inputDynamic;
    std::string scanId;
    std::string staticIds;
    std::string body;
};

// Builds, encodes and joins the submit fields as the exchange does, then
// reads the body back independently.
DecodedSubmit submitBody(RequestEncoder& encoder, ProcessRecord& scanRecord, std::vector<ProcessRecord>& processes)
{
    FormFields fields = buildSubmitFields(encoder, scanRecord, processes);
    EXPECT_TRUE(encodeFields(fields, true));
    DecodedSubmit out;
    out.body = buildBody(fields);
    for (const auto& [name, value] : splitBodyForTest(out.body)) {
        out.names.push_back(name);
        if (name == "input")
            out.input = inflateForTest(decodeBase64UrlForTest(value));
        else if (name == "input_static")
            out.inputStatic = inflateForTest(decodeBase64UrlForTest(value));
        else if (name == "input_dynamic")
            out.inputDynamic = inflateForTest(decodeBase64UrlForTest(value));
        else if (name == "scan_id")
            out.scanId = value;
        else if (name == "static_ids")
            out.staticIds = value;
    }
    return out;
}

std::size_t columnOf(const auto& columns, std::string_view key)
{
    for (std::size_t i = 0; i < columns.size(); ++i)
        if (columns[i] == key)
            return i;
    ADD_FAILURE() << "no column " << key;
    return 0;
}

}  // namespace

TEST(Base64Url, RfcVectorsPaddingAndUrlAlphabet)
{
    EXPECT_EQ(base64UrlEncode(""), "");
    EXPECT_EQ(base64UrlEncode("f"), "Zg==");
    EXPECT_EQ(base64UrlEncode("fo"), "Zm8=");
    EXPECT_EQ(base64UrlEncode("foo"), "Zm9v");
    EXPECT_EQ(base64UrlEncode("foob"), "Zm9vYg==");
    EXPECT_EQ(base64UrlEncode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64UrlEncode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64UrlEncode(bytesOf({0xFB, 0xFF, 0xBF})), "-_-_");
    EXPECT_EQ(base64UrlEncode(bytesOf({0x00, 0x00, 0x3E})), "AAA-");
}

TEST(HexDigest, PairsGiveBytesHighNibbleFirst)
{
    const auto bytes = hexDigestToBytes(kPlaceholderDigest);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()),
              bytesOf({0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xE1, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}));
    // Longer text is not read past 32 characters; shorter text pads with 0.
    const auto shortText = hexDigestToBytes(u"0f1");
    EXPECT_EQ(shortText[0], 0x0F);
    EXPECT_EQ(shortText[1], 0x10);
    EXPECT_EQ(shortText[15], 0x00);
}

TEST(InitialiseRequest, DigestsInScanOrderWithThePlaceholderForAMissingOne)
{
    std::vector<ProcessRecord> processes = {
        processWith({{"hash.md5", u"00112233445566778899aabbccddeeff"}}),
        processWith({{"path.file", u"no digest"}}),
        processWith({{"hash.md5", u""}}),
        processWith({{"hash.md5", u"ffeeddccbbaa99887766554433221100"}}),
    };
    FormFields fields;
    buildInitialiseFields(processes, fields);
    ASSERT_TRUE(encodeFields(fields, false));
    const std::string body = buildBody(fields);
    ASSERT_EQ(body.rfind("md5s=", 0), 0u);
    const std::string digests = decodeBase64UrlForTest(body.substr(5));
    ASSERT_EQ(digests.size(), 16u * processes.size());
    const std::string placeholder =
        bytesOf({0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xE1, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF});
    EXPECT_EQ(digests.substr(0, 16),
              bytesOf({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
    EXPECT_EQ(digests.substr(16, 16), placeholder);
    EXPECT_EQ(digests.substr(32, 16), placeholder);
    EXPECT_EQ(static_cast<unsigned char>(digests[48]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(digests[63]), 0x00);
    EXPECT_FALSE(processes[1].contains("hash.md5")) << "reading the digest adds no key";
}

TEST(InitialiseRequest, EncodedLengthFollowsTheDigestCountWithPadding)
{
    // 16 bytes leave 1 byte over (padding "=="), 32 bytes leave 2 ("="), 48 none.
    for (std::size_t count : {1u, 2u, 3u}) {
        std::vector<ProcessRecord> processes(count);
        FormFields fields;
        buildInitialiseFields(processes, fields);
        ASSERT_TRUE(encodeFields(fields, false));
        const std::string& value = fields["md5s"];
        EXPECT_EQ(value.size() % 4, 0u);
        const std::size_t padding[] = {2, 1, 0};
        EXPECT_EQ(value.size() - value.find_last_not_of('=') - 1, padding[count - 1]) << value;
        EXPECT_EQ(decodeBase64UrlForTest(value).size(), 16 * count);
    }
}

TEST(EncodeFields, EmptyContainerFailsAndExemptFieldsStayPlain)
{
    FormFields empty;
    EXPECT_FALSE(encodeFields(empty, true));

    FormFields fields{{"scan_id", "12 3"}, {"static_ids", "4,5"}, {"input", "x"}};
    ASSERT_TRUE(encodeFields(fields, true));
    EXPECT_EQ(fields["scan_id"], "12 3");
    EXPECT_EQ(fields["static_ids"], "4,5");
    EXPECT_EQ(inflateForTest(decodeBase64UrlForTest(fields["input"])), "x");
}

TEST(SubmitRequest, FieldsInNameOrderWithOneLinePerProcess)
{
    RequestEncoder encoder;
    ProcessRecord scan = processWith({{"scanId", u"77"}, {"scanTime", u"2026-12-08 10:00"}, {"Caption", u"OS"}});
    std::vector<ProcessRecord> processes = {
        processWith({{"staticId", u"5"}, {"path.pathFull", u"c:\\a.exe"}, {"corvUnknown", u""}}),
        processWith({{"staticId", u"9"}, {"path.pathFull", u"c:\\b.exe"}, {"corvUnknown", u"1"},
                     {"hash.md5", u"0123"}, {"ver.CompanyName", u"Corp"}}),
    };
    const DecodedSubmit submit = submitBody(encoder, scan, processes);
    EXPECT_EQ(submit.names,
              (std::vector<std::string>{"input", "input_dynamic", "input_static", "scan_id", "static_ids"}));
    EXPECT_EQ(submit.scanId, "77");
    EXPECT_EQ(submit.staticIds, "9");

    const auto input = splitForTest(submit.input, '\t');
    ASSERT_EQ(input.size(), kInputColumns.size());
    EXPECT_EQ(input[columnOf(kInputColumns, "scanId")], "77");
    EXPECT_EQ(input[columnOf(kInputColumns, "status")], "0");
    EXPECT_EQ(input[columnOf(kInputColumns, "last_access")], "2026-12-08 10:00");
    EXPECT_EQ(input[columnOf(kInputColumns, "processed")], "False");
    EXPECT_EQ(input[columnOf(kInputColumns, "Caption")], "OS");

    const auto staticLines = splitForTest(submit.inputStatic, '\n');
    ASSERT_EQ(staticLines.size(), 1u);
    const auto staticLine = splitForTest(staticLines[0], '\t');
    ASSERT_EQ(staticLine.size(), kStaticColumns.size());
    EXPECT_EQ(staticLine[columnOf(kStaticColumns, "staticId")], "9");
    EXPECT_EQ(staticLine[columnOf(kStaticColumns, "server.static.ref")], "0");
    EXPECT_EQ(staticLine[columnOf(kStaticColumns, "server.static.crid")], "-1");
    EXPECT_EQ(staticLine[columnOf(kStaticColumns, "ver.CompanyName")], "Corp");

    const auto dynamicLines = splitForTest(submit.inputDynamic, '\n');
    ASSERT_EQ(dynamicLines.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        const auto line = splitForTest(dynamicLines[k], '\t');
        ASSERT_EQ(line.size(), kDynamicColumns.size());
        EXPECT_EQ(line[columnOf(kDynamicColumns, "dynCount")], std::to_string(k));
        EXPECT_EQ(line[columnOf(kDynamicColumns, "scanId")], "77");
    }
    EXPECT_EQ(processes[0]["server.static.ref"], u"") << "a known process keeps its server references";
}

TEST(SubmitRequest, EveryColumnReadIsLeftInTheRecordAndValuesKeepTheirColumn)
{
    RequestEncoder encoder;
    ProcessRecord scan = processWith({{"scanId", u"1"}});
    // Keys that sort between, before and after the columns, and a value per
    // column that names it.
    ProcessRecord unknown = processWith({{"corvUnknown", u"1"}, {"AAA", u"x"}, {"zzz", u"y"}, {"path.pathFull", u"p"}});
    // The build sets these two for an unknown process.
    const auto named = [](std::string_view column) {
        return column != "server.static.ref" && column != "server.static.crid";
    };
    for (const std::string_view column : kStaticColumns)
        if (named(column))
            unknown[column] = fromUtf8(column);
    std::vector<ProcessRecord> processes = {unknown, processWith({{"staticId", u"2"}})};
    const DecodedSubmit submit = submitBody(encoder, scan, processes);

    const auto staticLine = splitForTest(submit.inputStatic, '\t');
    ASSERT_EQ(staticLine.size(), kStaticColumns.size());
    for (std::size_t i = 0; i < kStaticColumns.size(); ++i) {
        if (named(kStaticColumns[i])) {
            EXPECT_EQ(staticLine[i], kStaticColumns[i]);
        }
    }
    for (const ProcessRecord& record : processes)
        for (const std::string_view column : kDynamicColumns)
            EXPECT_TRUE(record.contains(column)) << column;
    for (const std::string_view column : kInputColumns)
        EXPECT_TRUE(scan.contains(column)) << column;
}

TEST(SubmitRequest, AllKnownProcessesGiveAnEncodedEmptyStaticTextAndEmptyIdsLast)
{
    RequestEncoder encoder;
    ProcessRecord scan = processWith({{"scanId", u"1"}});
    std::vector<ProcessRecord> processes = {processWith({{"staticId", u"3"}}), processWith({{"staticId", u"4"}})};
    const DecodedSubmit submit = submitBody(encoder, scan, processes);
    EXPECT_EQ(submit.inputStatic, "");
    EXPECT_NE(submit.body.find("&input_static=e"), std::string::npos) << "a zlib stream is never empty";
    EXPECT_EQ(submit.body.substr(submit.body.size() - 12), "&static_ids=");
}

TEST(SubmitRequest, TabsBecomeSpacesAndLineBreaksOnlyOutsideTheInputLine)
{
    RequestEncoder encoder;
    ProcessRecord scan = processWith({{"scanId", u"1"}, {"Caption", u"A\tB\r\nC"}});
    std::vector<ProcessRecord> processes = {processWith({{"staticId", u"3"},
                                                         {"corvUnknown", u"1"},
                                                         {"ver.Comments", u"one\r\ntwo\tthree"},
                                                         {"reg.DisplayName", u"x\r\ny\tz"}})};
    const DecodedSubmit submit = submitBody(encoder, scan, processes);
    const auto input = splitForTest(submit.input, '\t');
    ASSERT_EQ(input.size(), kInputColumns.size());
    EXPECT_EQ(input[columnOf(kInputColumns, "Caption")], "A B\r\nC");

    ASSERT_EQ(splitForTest(submit.inputStatic, '\n').size(), 1u);
    const auto staticLine = splitForTest(submit.inputStatic, '\t');
    ASSERT_EQ(staticLine.size(), kStaticColumns.size());
    EXPECT_EQ(staticLine[columnOf(kStaticColumns, "ver.Comments")], "one  two three");

    ASSERT_EQ(splitForTest(submit.inputDynamic, '\n').size(), 1u);
    const auto dynamicLine = splitForTest(submit.inputDynamic, '\t');
    ASSERT_EQ(dynamicLine.size(), kDynamicColumns.size());
    EXPECT_EQ(dynamicLine[columnOf(kDynamicColumns, "reg.DisplayName")], "x  y z");
}

TEST(SubmitRequest, BackslashesAreDoubledAfterAbbreviation)
{
    RequestEncoder encoder;
    ProcessRecord scan = processWith({{"scanId", u"1"}, {"ERROR", u"x:\\a"}});
    std::vector<ProcessRecord> processes = {
        processWith({{"staticId", u"3"}, {"path.path", u"C:\\Windows\\System32\\x.dll"}, {"path.file", u"x:\\a"}})};
    const DecodedSubmit submit = submitBody(encoder, scan, processes);
    EXPECT_EQ(splitForTest(submit.input, '\t')[columnOf(kInputColumns, "ERROR")], "x:\\\\a");
    const auto line = splitForTest(submit.inputDynamic, '\t');
    EXPECT_EQ(line[columnOf(kDynamicColumns, "path.path")], "%(3)ssystem32\\\\x.dll");
    EXPECT_EQ(line[columnOf(kDynamicColumns, "path.file")], "x:\\\\a");
}

TEST(SubmitRequest, NonAsciiValuesAreSentAsUtf8)
{
    RequestEncoder encoder;
    ProcessRecord scan = processWith({{"scanId", u"1"}});
    std::vector<ProcessRecord> processes = {processWith({{"reg.Description", u"caf\u00e9 \U0001F600"}})};
    const DecodedSubmit submit = submitBody(encoder, scan, processes);
    EXPECT_EQ(splitForTest(submit.inputDynamic, '\t')[columnOf(kDynamicColumns, "reg.Description")],
              "caf\xC3\xA9 \xF0\x9F\x98\x80");
}

TEST(SubmitRequest, EveryCharacterIsWrittenTheSameWhereverItStandsInTheValue)
{
    // Plain ASCII goes out four characters at a time; each character that
    // is not plain must come out the same at every position of a value
    // (inside or across such a group of four, and in the leftover tail).
    struct Case {
        std::u16string unit;
        std::string dynamic;  // in a dynamic line
        std::string input;    // in the input line, which keeps line breaks
    };
    const Case cases[] = {
        {u"\t", " ", " "},           {u"\r", " ", "\r"},          {u"\n", " ", "\n"},
        {u"\\", "\\\\", "\\\\"},  {u"\x1F", "\x1F", "\x1F"},  {u"\x7F", "\x7F", "\x7F"},
        {u" ", " ", " "},             {u"~", "~", "~"},            {u"\x80", "\xC2\x80", "\xC2\x80"},
        {u"\u20AC", "\xE2\x82\xAC", "\xE2\x82\xAC"},     {u"\U0001F600", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {u"\xD800", "\xEF\xBF\xBD", "\xEF\xBF\xBD"},
    };
    const std::u16string plain = u"abcdefghijk";
    for (const Case& c : cases) {
        for (std::size_t at = 0; at <= plain.size(); ++at) {
            const std::u16string value = plain.substr(0, at) + c.unit + plain.substr(at);
            const std::string head = toUtf8(plain.substr(0, at));
            const std::string tail = toUtf8(plain.substr(at));
            RequestEncoder encoder;
            ProcessRecord scan = processWith({{"scanId", u"1"}, {"Caption", value}});
            std::vector<ProcessRecord> processes = {processWith({{"reg.Description", value}})};
            const DecodedSubmit submit = submitBody(encoder, scan, processes);
            const std::string where = "unit " + std::to_string(static_cast<int>(c.unit[0])) + " at " + std::to_string(at);
            EXPECT_EQ(splitForTest(submit.inputDynamic, '\t')[columnOf(kDynamicColumns, "reg.Description")],
                      head + c.dynamic + tail)
                << where;
            EXPECT_NE(submit.input.find('\t' + head + c.input + tail + '\t'), std::string::npos) << where;
        }
    }
}

TEST(ModuleList, PathsBecomeStaticIdsAndUnknownOnesEmpty)
{
    RequestEncoder encoder;
    encoder.pathToStaticId[u"c:\\a.dll"] = u"11";
    EXPECT_EQ(mapModuleList(encoder, u""), u"");
    EXPECT_EQ(mapModuleList(encoder, u"c:\\x.dll,,c:\\y.dll"), u",,");
    EXPECT_EQ(mapModuleList(encoder, u"c:\\a.dll,C:\\A.DLL,c:\\a.dll"), u"11,,11");
    EXPECT_TRUE(encoder.pathToStaticId.contains(u"c:\\x.dll"));
}

TEST(ModuleList, PathsThatHoldCommasKeepTheirIds)
{
    RequestEncoder encoder;
    encoder.pathToStaticId[u"C:\\Foo, Inc\\x.dll"] = u"7";
    encoder.pathToStaticId[u"C:\\a, b, c\\y.dll"] = u"8";
    encoder.pathToStaticId[u"c:\\a.dll"] = u"11";
    EXPECT_EQ(mapModuleList(encoder, u"c:\\a.dll,C:\\Foo, Inc\\x.dll,C:\\a, b, c\\y.dll,c:\\a.dll"), u"11,7,8,11");
    EXPECT_FALSE(encoder.pathToStaticId.contains(u"C:\\Foo")) << "a piece of a known path is not added";
    // A piece that no join completes is a path of its own, as before.
    EXPECT_EQ(mapModuleList(encoder, u"C:\\Foo,c:\\a.dll, Inc"), u",11,");
    EXPECT_TRUE(encoder.pathToStaticId.contains(u"C:\\Foo"));
}

TEST(ModuleList, TheLaterRecordOfOneFullPathWins)
{
    RequestEncoder encoder;
    ProcessRecord scan = processWith({{"scanId", u"1"}});
    std::vector<ProcessRecord> processes = {
        processWith({{"staticId", u"5"}, {"path.pathFull", u"c:\\shared.exe"}, {"moduleList", u"c:\\shared.exe"}}),
        processWith({{"staticId", u"6"}, {"path.pathFull", u"c:\\shared.exe"}, {"moduleList", u"c:\\shared.exe,c:\\no.dll"}}),
    };
    const DecodedSubmit submit = submitBody(encoder, scan, processes);
    EXPECT_EQ(processes[0]["moduleList"], u"6");
    EXPECT_EQ(processes[1]["moduleList"], u"6,");
    const auto lines = splitForTest(submit.inputDynamic, '\n');
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(splitForTest(lines[1], '\t')[columnOf(kDynamicColumns, "moduleList")], "6,");
}

TEST(SubmitRequest, ASecondBuildChangesNoRewrittenValue)
{
    RequestEncoder encoder;
    ProcessRecord scan = processWith({{"scanId", u"1"}});
    std::vector<ProcessRecord> processes = {
        processWith({{"staticId", u"5"}, {"path.pathFull", u"c:\\windows\\a.exe"},
                     {"path.path", u"C:\\Windows\\"}, {"path.lpath", u"%windir%\\"},
                     {"wmi.StartupLocation", u"HKLM\\Software\\x"}, {"reg.Location", u"System\\CurrentControlSet\\Services\\a"},
                     {"reg.DependOnService", u"plugplay"}, {"moduleList", u"c:\\windows\\a.exe"}}),
    };
    const DecodedSubmit first = submitBody(encoder, scan, processes);
    const std::vector<ProcessRecord> afterFirst = processes;
    EXPECT_EQ(scan["processDataProcessed"], u"1");
    EXPECT_EQ(processes[0]["path.path"], u"%(3)s");
    EXPECT_EQ(processes[0]["moduleList"], u"5");

    const DecodedSubmit second = submitBody(encoder, scan, processes);
    EXPECT_EQ(processes, afterFirst);
    EXPECT_EQ(second.inputDynamic, first.inputDynamic);
}

TEST(SubmitTarget, TheFirstPercentSTakesTheScanIdAndNothingIsAFormat)
{
    EXPECT_EQ(submitTarget(u"corvelle/%s/submitscan", u"123"), u"corvelle/123/submitscan");
    EXPECT_EQ(submitTarget(u"corvelle/submitscan", u"123"), u"corvelle/submitscan");
    EXPECT_EQ(submitTarget(u"a/%s/%s", u"1"), u"a/1/%s");
    EXPECT_EQ(submitTarget(u"a/%d%x%n/%s", u"1"), u"a/%d%x%n/1");
    EXPECT_EQ(submitTarget(u"100%%/%s%", u"1"), u"100%/1%");
    EXPECT_EQ(submitTarget(u"%s", u"%s"), u"%s") << "the scan id is not read again";
    EXPECT_EQ(submitTarget(u"x%", u"1"), u"x%");
}

TEST(SubmitTarget, ATargetOver2047CharactersIsRefused)
{
    const std::u16string id(2040, u'7');
    EXPECT_EQ(submitTarget(u"abc/%s", id)->size(), 2044u);
    EXPECT_FALSE(submitTarget(u"abcdefgh/%s", id));
}
