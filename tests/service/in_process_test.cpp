// The two exchanges called on the Service directly, as the ingest benchmark
// does: the same answers and log lines as over HTTP, and the scan they store
// is the one the HTTP routes serve.

#include "core/base/conversions.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

const FileFacts kDll{u"C:\\Windows\\System32\\kernel32.dll", u"00112233445566778899aabbccddeeff"};
const FileFacts kExe{u"C:\\Windows\\explorer.exe", u"ffeeddccbbaa99887766554433221100"};

}  // namespace

TEST_F(ServiceTest, ExchangesCalledInProcessStoreWhatHttpServesAndRefuseAlike)
{
    ClientScan scan;
    scan.records = {makeRecord(kDll), makeRecord(kExe, u"42", kDll.path)};

    service::ExchangeReply reply = service_->initialise(scan.initialiseBody(), "10.0.0.7");
    ASSERT_EQ(reply.status, 200) << reply.text;
    ASSERT_TRUE(scan.applyReply(reply.text)) << reply.text;
    const std::string body = protocol::buildBody(scan.submitFields());

    // A body naming another scan than the path, and a path that names none.
    std::string otherId = scan.scanId();
    otherId.front() = otherId.front() == 'A' ? 'B' : 'A';
    reply = service_->submit(otherId, body, "10.0.0.7");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.text, "scan_id differs from the scan in the path\n");
    EXPECT_EQ(service_->submit("../x", body, "10.0.0.7").status, 404);

    reply = service_->submit(scan.scanId(), body, "10.0.0.7");
    ASSERT_EQ(reply.status, 200) << reply.text;
    EXPECT_EQ(reply.text, "http://reports.example/scan/" + scan.scanId());
    reply = service_->submit(scan.scanId(), body, "10.0.0.7");
    EXPECT_EQ(reply.status, 409);
    EXPECT_EQ(post(scan.submitPath(), body)->status, 409) << "HTTP sees the in-process submission";

    auto report = exportJson(scan.scanId());
    ASSERT_EQ(report["records"].size(), 2u);
    EXPECT_EQ(report["records"][1]["values"]["wmi.ProcessId"], "42");

    const auto lines = logLines();
    const std::string refused = "refused POST /corvelle/" + otherId.substr(0, 4) +
                                "\xE2\x80\xA6/submitscan from 10.0.0.7: 400 scan_id differs from the scan in the path";
    EXPECT_NE(std::find(lines.begin(), lines.end(), refused), lines.end());
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [&](const std::string& line) {
                               return line.rfind("initialised scan " + scan.scanId().substr(0, 4) +
                                                     "\xE2\x80\xA6 for 10.0.0.7: 2 records",
                                                 0) == 0;
                           }),
              lines.end());
}

}  // namespace zorvane::testing
