// Two service instances on one database, as behind a load balancer: the
// two exchanges of one scan may reach different instances.

#include <thread>

#include "backends.h"
#include "protocol/field_text.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

class Instance {
public:
    Instance(const std::string& location, std::string& error)
    {
        store_ = service::openScanStore(location, error);
        if (!store_)
            return;
        service::ServiceOptions options;
        options.publicUrl = "http://balancer.example";
        service_ = std::make_unique<service::Service>(*store_, options, [](std::string_view) {});
        if (!service_->bind("127.0.0.1", 0, error)) {
            service_.reset();
            return;
        }
        thread_ = std::thread([this] { service_->run(); });
    }
    ~Instance()
    {
        if (service_)
            service_->stop();
        if (thread_.joinable())
            thread_.join();
    }
    bool running() const { return thread_.joinable(); }

    httplib::Result post(const std::string& path, const std::string& body) const
    {
        httplib::Client c("127.0.0.1", service_->port());
        c.set_read_timeout(30, 0);
        return c.Post(path.c_str(), body, "application/x-www-form-urlencoded");
    }
    httplib::Result get(const std::string& path) const
    {
        httplib::Client c("127.0.0.1", service_->port());
        return c.Get(path.c_str());
    }

private:
    std::unique_ptr<service::ScanStore> store_;
    std::unique_ptr<service::Service> service_;
    std::thread thread_;
};

class TwoInstancesTest : public ::testing::TestWithParam<BackendKind> {};

TEST_P(TwoInstancesTest, ScanInitialisedOnOneAndSubmittedToTheOtherIsStoredOnceAndReadableFromBoth)
{
    TestDatabase db(GetParam());
    if (!db.skipReason().empty())
        GTEST_SKIP() << db.skipReason();
    ASSERT_TRUE(db.ready()) << db.failure();
    std::string error;
    Instance a(db.location(), error);
    ASSERT_TRUE(a.running()) << error;
    Instance b(db.location(), error);
    ASSERT_TRUE(b.running()) << error;

    const FileFacts dll{u"C:\\Windows\\System32\\ntdll.dll", u"ffeeddccbbaa99887766554433221100"};
    const FileFacts exe{u"C:\\Windows\\System32\\Services.exe", u"00112233445566778899aabbccddeeff"};
    ClientScan scan;
    scan.records = {makeRecord(dll), makeRecord(exe, u"100", dll.path), makeRecord({u"C:\\a\\x.exe", u""}, u"7")};
    auto reply = a.post("/corvelle/initialisescan", scan.initialiseBody());
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->status, 200) << reply->body;
    ASSERT_TRUE(scan.applyReply(reply->body));

    auto fields = scan.submitFields();
    auto stored = b.post(scan.submitPath(), protocol::buildBody(fields));
    ASSERT_TRUE(stored);
    ASSERT_EQ(stored->status, 200) << stored->body;
    EXPECT_EQ(stored->body, "http://balancer.example/scan/" + scan.scanId());
    auto again = a.post(scan.submitPath(), protocol::buildBody(fields));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 409) << "the first instance knows the scan is submitted";

    auto fromA = a.get("/scan/" + scan.scanId() + ".json");
    auto fromB = b.get("/scan/" + scan.scanId() + ".json");
    ASSERT_TRUE(fromA && fromB);
    ASSERT_EQ(fromA->status, 200);
    EXPECT_EQ(fromA->body, fromB->body);
    auto report = nlohmann::json::parse(fromA->body);
    ASSERT_EQ(report["records"].size(), 3u);
    EXPECT_EQ(report["records"][1]["values"]["wmi.ProcessId"], "100");
    EXPECT_EQ(report["records"][1]["file"]["hash.md5"], "00112233445566778899aabbccddeeff");
    EXPECT_EQ(report["records"][1]["modules"][0]["fileId"], report["records"][0]["fileId"]);

    // A later scan on the other instance knows the files the first one sent.
    ClientScan later;
    later.records = {makeRecord(exe, u"200")};
    auto laterReply = b.post("/corvelle/initialisescan", later.initialiseBody());
    ASSERT_TRUE(laterReply);
    ASSERT_EQ(laterReply->status, 200);
    auto ids = protocol::splitText(protocol::splitText(laterReply->body, '|')[1], ',');
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_NE(ids[0][0], '-') << laterReply->body;
}

INSTANTIATE_TEST_SUITE_P(Backends, TwoInstancesTest,
                         ::testing::Values(BackendKind::Sqlite, BackendKind::Postgres), backendName);

}  // namespace
}  // namespace zorvane::testing
