#include "csv_reader.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

ClientScan hostileScan()
{
    ClientScan scan;
    FileFacts evil{u"C:\\Program Files\\<b>bold</b>\\evil.exe", u"0123456789abcdef0123456789abcdef",
                   u"<script>alert('x')</script>"};
    ProcessRecord r = makeRecord(evil, u"66");
    r["ver.CompanyName"] = u"\"Quoted\", Inc. & Sons";
    r["ver.ProductName"] = u"=HYPERLINK(\"http://example.invalid\")";
    r["net.NetworkPorts"] = u"80|DEFAULT";
    scan.records = {r, makeRecord({u"C:\\Windows\\plain.exe", u"11111111111111111111111111111111"}, u"67")};
    scan.scanRecord["Caption"] = u"Windows <i>7</i>";
    return scan;
}

}  // namespace

TEST_F(ServiceTest, ReportPageEscapesEveryValueAndShowsTheProcesses)
{
    ClientScan scan = hostileScan();
    ASSERT_TRUE(store(scan));

    auto page = get("/scan/" + scan.scanId());
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
    const std::string& html = page->body;
    EXPECT_EQ(html.find("<script>alert"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(html.find("<b>bold"), std::string::npos);
    EXPECT_EQ(html.find("<i>7"), std::string::npos);
    EXPECT_NE(html.find("&quot;Quoted&quot;, Inc. &amp; Sons"), std::string::npos);
    EXPECT_NE(html.find("evil.exe"), std::string::npos);
    EXPECT_NE(html.find("plain.exe"), std::string::npos);

    auto eula = get("/zorvaneeula/");
    ASSERT_TRUE(eula);
    EXPECT_EQ(eula->status, 200);
    EXPECT_NE(eula->body.find("terms of use"), std::string::npos);
}

TEST_F(ServiceTest, JsonAndCsvExportsParseAndKeepTheValues)
{
    ClientScan scan = hostileScan();
    initialise(scan);
    ASSERT_EQ(submit(scan, scan.submitFields())->status, 200);

    auto json = exportJson(scan.scanId());
    ASSERT_EQ(json["records"].size(), 2u);
    EXPECT_EQ(json["records"][0]["file"]["ver.FileVersion"], "<script>alert('x')</script>");
    EXPECT_EQ(json["records"][0]["path"], "c:\\program files\\<b>bold</b>\\evil.exe");
    EXPECT_EQ(json["summary"]["processes"], 2);

    auto csv = get("/scan/" + scan.scanId() + ".csv");
    ASSERT_TRUE(csv);
    ASSERT_EQ(csv->status, 200);
    auto rows = parseCsv(csv->body);
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows)
        EXPECT_EQ(row.size(), rows[0].size());
    EXPECT_EQ(rows[0][1], "pid");
    EXPECT_EQ(rows[1][1], "66");
    EXPECT_EQ(rows[1][6], "\"Quoted\", Inc. & Sons");
    EXPECT_EQ(rows[1][7], "'=HYPERLINK(\"http://example.invalid\")") << "no live formula in a spreadsheet";
}

TEST_F(ServiceTest, ModulePathsOfOneReportStayWithinABudget)
{
    // A record that lists its own 64 KiB path 1024 times: 64 MiB of module
    // names, from an upload of a few kilobytes.
    const std::u16string longPath = u"C:\\" + std::u16string(64u << 10, u'a') + u".dll";
    const FileFacts file{longPath, u"00112233445566778899aabbccddeeff"};
    std::u16string modules;
    for (int i = 0; i < 1024; ++i)
        modules += (i ? u"," : u"") + longPath;
    ClientScan scan;
    scan.records = {makeRecord(file, u"100", modules)};
    ASSERT_TRUE(store(scan));

    auto page = get("/scan/" + scan.scanId());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_LT(page->body.size(), 32u << 20);
    auto report = exportJson(scan.scanId());
    const auto& listed = report["records"][0]["modules"];
    ASSERT_EQ(listed.size(), 1024u);
    EXPECT_EQ(listed[0]["path"].get<std::string>().size(), longPath.size()) << "the first ones in full";
    const auto last = listed[1023]["fileId"].get<std::int64_t>();
    EXPECT_EQ(listed[1023]["path"], "file " + std::to_string(last)) << "past the budget, the file id alone";
}

TEST_F(ServiceTest, ExportsSayOnHowManyMachinesEachFileWasSeen)
{
    ClientScan first = hostileScan(), second = hostileScan();
    first.scanRecord["ClientId"] = u"machine1";
    second.scanRecord["ClientId"] = u"machine2";
    second.records.resize(1);
    ASSERT_TRUE(store(first));
    ASSERT_TRUE(store(second));

    auto json = exportJson(first.scanId());
    ASSERT_EQ(json["records"].size(), 2u);
    const auto& shared = json["records"][0];
    const auto& own = json["records"][1];
    EXPECT_EQ(shared["machines"], 2);
    EXPECT_EQ(shared["machinesInAll"], 2);
    EXPECT_EQ(shared["rare"], false);
    EXPECT_EQ(own["machines"], 1);
    EXPECT_EQ(own["rare"], true);
    EXPECT_EQ(own["firstSeen"].get<std::string>().size(), std::string("2026-12-01 00:00:00").size());

    auto csv = get("/scan/" + first.scanId() + ".csv");
    ASSERT_TRUE(csv);
    auto rows = parseCsv(csv->body);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(std::vector(rows[2].end() - 4, rows[2].end()),
              (std::vector<std::string>{"1", "2", own["firstSeen"].get<std::string>(), "rare"}));
}

}  // namespace zorvane::testing
