#include <regex>

#include "core/base/conversions.h"
#include "protocol/field_text.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

const std::u16string kExeMd5 = u"00112233445566778899aabbccddeeff";
const std::u16string kDllMd5 = u"ffeeddccbbaa99887766554433221100";
const std::u16string kNewMd5 = u"0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f";
const FileFacts kDll{u"C:\\Windows\\System32\\ntdll.dll", kDllMd5};
const FileFacts kExe{u"C:\\Windows\\System32\\Services.exe", kExeMd5};

// The client's scan order: files by path, each file's processes after it.
ClientScan twoProcessesOfOneImage()
{
    ClientScan scan;
    scan.records = {makeRecord(kDll), makeRecord(kExe, u"100", kDll.path), makeRecord(kExe, u"101", kDll.path)};
    return scan;
}

std::vector<std::string> splitAt(const std::string& text, char separator)
{
    return protocol::splitText(text, separator);
}

}  // namespace

TEST_F(ServiceTest, BothExchangesStoreTheScanAndLaterScansKnowItsFiles)
{
    ClientScan first = twoProcessesOfOneImage();
    std::string reply = initialise(first);
    auto fields = splitAt(reply, '|');
    ASSERT_EQ(fields.size(), 4u) << reply;
    EXPECT_EQ(fields[0].size(), 22u);
    EXPECT_TRUE(std::regex_match(fields[2], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << fields[2];
    EXPECT_EQ(fields[3], "127.0.0.1");
    auto ids = splitAt(fields[1], ',');
    ASSERT_EQ(ids.size(), 3u);
    for (const auto& id : ids)
        EXPECT_EQ(id[0], '-') << "a new service knows no file";
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_EQ(ids[1], ids[2]) << "one image, one file id";

    auto res = submit(first, first.submitFields());
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(res->body, "http://reports.example/scan/" + first.scanId());
    // The log names the scan and its report by the id's first characters:
    // the whole id is the key to the report.
    const std::string cut = first.scanId().substr(0, 4) + "\xE2\x80\xA6";
    bool announced = false;
    for (const auto& line : logLines())
        announced = announced || (line.find("stored scan " + cut + ":") != std::string::npos &&
                                  line.find("report http://reports.example/scan/" + cut) != std::string::npos);
    EXPECT_TRUE(announced);

    auto report = exportJson(first.scanId());
    ASSERT_EQ(report["records"].size(), 3u);
    EXPECT_EQ(report["scan"]["Caption"], "Microsoft Windows 7 Professional");
    const auto& dll = report["records"][0];
    const auto& process = report["records"][1];
    EXPECT_FALSE(dll["process"].get<bool>());
    EXPECT_EQ(process["values"]["wmi.ProcessId"], "100");
    EXPECT_EQ(report["records"][2]["values"]["wmi.ProcessId"], "101");
    EXPECT_EQ(process["path"], "c:\\windows\\system32\\services.exe") << "abbreviations expanded";
    EXPECT_EQ(process["file"]["hash.md5"], toUtf8(kExeMd5));
    EXPECT_EQ(process["file"]["hash.sha1"], "sha1-of-" + toUtf8(kExeMd5));
    EXPECT_FALSE(process["known"].get<bool>());
    ASSERT_EQ(process["modules"].size(), 1u);
    EXPECT_EQ(process["modules"][0]["fileId"], dll["fileId"]);
    EXPECT_EQ(process["modules"][0]["path"], "c:\\windows\\system32\\ntdll.dll");

    // The stored scan is in the database file, readable by a second connection.
    auto reader = service::openSqliteStore((dir_ / "scans.sqlite").string());
    ASSERT_TRUE(reader) << reader.error().reason;
    auto stored = (*reader)->loadScan(first.scanId());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->processes.size(), 3u);

    // Two more machines send the same facts: three clients agree.
    for (auto clientId : {u"c0ffee02", u"c0ffee03"}) {
        ClientScan other = twoProcessesOfOneImage();
        other.scanRecord["ClientId"] = clientId;
        auto otherIds = splitAt(splitAt(initialise(other), '|')[1], ',');
        EXPECT_EQ(otherIds, ids) << "known only once three clients agree";
        ASSERT_EQ(submit(other, other.submitFields())->status, 200);
    }

    ClientScan second = twoProcessesOfOneImage();
    second.records.push_back(makeRecord({u"C:\\Tools\\new.exe", kNewMd5}, u"200"));
    auto secondIds = splitAt(splitAt(initialise(second), '|')[1], ',');
    ASSERT_EQ(secondIds.size(), 4u);
    EXPECT_EQ("-" + secondIds[0], ids[0]);
    EXPECT_EQ("-" + secondIds[1], ids[1]);
    EXPECT_EQ(secondIds[3][0], '-');
    auto secondFields = second.submitFields();
    EXPECT_EQ(secondFields["static_ids"], secondIds[3].substr(1));
    res = submit(second, secondFields);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    report = exportJson(second.scanId());
    EXPECT_TRUE(report["records"][1]["known"].get<bool>());
    EXPECT_EQ(report["records"][1]["file"]["hash.md5"], toUtf8(kExeMd5)) << "facts the three clients agreed on";
    EXPECT_FALSE(report["records"][3]["known"].get<bool>());
}

TEST_F(ServiceTest, PlaceholderDigestGivesEveryRecordAFreshUnknownId)
{
    auto scanWithoutDigests = [] {
        ClientScan scan;
        scan.records = {makeRecord({u"C:\\a\\one.exe", u""}, u"10"), makeRecord({u"C:\\a\\two.exe", u""}, u"11"),
                        makeRecord(kExe, u"12")};
        return scan;
    };
    ClientScan first = scanWithoutDigests();
    auto ids = splitAt(splitAt(initialise(first), '|')[1], ',');
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0][0], '-');
    EXPECT_EQ(ids[1][0], '-');
    EXPECT_NE(ids[0], ids[1]);
    auto res = submit(first, first.submitFields());
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;

    ClientScan second = scanWithoutDigests();
    auto again = splitAt(splitAt(initialise(second), '|')[1], ',');
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[0][0], '-') << "a missing digest never matches stored facts";
    EXPECT_EQ(again[1][0], '-');
    EXPECT_NE(again[0], ids[0]);
    EXPECT_NE(again[1], ids[1]);
    EXPECT_EQ(again[2], ids[2]) << "one client's facts make no file known";
}

TEST_F(ServiceTest, SecondSubmitIsRefusedAndChangesNothing)
{
    ClientScan scan = twoProcessesOfOneImage();
    initialise(scan);
    auto fields = scan.submitFields();
    auto res = submit(scan, fields);
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    std::string before = get("/scan/" + scan.scanId() + ".json")->body;

    scan.records[1]["wmi.ProcessId"] = u"999";
    res = submit(scan, fields);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 409);
    EXPECT_EQ(get("/scan/" + scan.scanId() + ".json")->body, before);
}

TEST_F(ServiceTest, UnknownScanIdsFindNothing)
{
    ClientScan scan = twoProcessesOfOneImage();
    initialise(scan);
    auto fields = scan.submitFields();
    const std::string stranger = "AAAAAAAAAAAAAAAAAAAAAA";
    fields["scan_id"] = stranger;
    auto res = post("/corvelle/" + stranger + "/submitscan", protocol::buildBody(fields));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    res = post("/corvelle/not-an-id/submitscan", protocol::buildBody(fields));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);

    for (const std::string& path : {"/scan/" + stranger, "/scan/" + stranger + ".json", "/scan/" + stranger + ".csv",
                                    "/scan/" + scan.scanId(), std::string("/scan/%2e%2e"), std::string("/scan/")}) {
        auto page = get(path);
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 404) << path << " (the initialised scan is not submitted yet)";
    }
}

}  // namespace zorvane::testing

namespace zorvane::testing {

// A record limit of 0 ends the scan before its first file: the scan record
// alone goes through both exchanges.
TEST_F(ServiceTest, AScanWithoutRecordsIsStoredWhole)
{
    ClientScan scan;
    const std::string reply = initialise(scan);
    EXPECT_EQ(splitAt(reply, '|').at(1), "");
    auto res = submit(scan, scan.submitFields());
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    auto report = exportJson(scan.scanId());
    EXPECT_EQ(report["records"].size(), 0u);
    EXPECT_EQ(report["scan"]["Caption"], "Microsoft Windows 7 Professional");
}

}  // namespace zorvane::testing

namespace zorvane::testing {

TEST_F(ServiceTest, WhatARequestSendsCannotWriteALogLineOfItsOwn)
{
    // A line break in the path (decoded from %0A) and in a field name.
    auto res = post("/scan/x%0Astored%20scan%20forged:%200%20records;%20report%20http://elsewhere/", "md5s=");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    res = post("/corvelle/initialisescan", "md5s=&a\nstored=1");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);

    // Each request's refusal and its access line; all but the access line
    // of the second request name what it sent.
    const auto lines = logLinesOnceThereAre(4);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        if (line.rfind("POST /corvelle/initialisescan 400", 0) != 0) {
            EXPECT_NE(line.find("\\x0astored"), std::string::npos) << line;
        }
    }
}

}  // namespace zorvane::testing
