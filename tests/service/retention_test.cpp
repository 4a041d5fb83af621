// What the service keeps, and for how long: facts of a file shown to
// others only when several machines agree, expiry, the allowance of new
// scans per address, deleting a report, and a database that fails.

#include <sys/stat.h>
#include <sys/wait.h>

#include <sqlite3.h>

#include "protocol/field_text.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

const std::u16string kToolMd5 = u"5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a";
const std::u16string kToolSha1 = u"1111111111111111111111111111111111111111";
const std::u16string kZeroSha1 = u"0000000000000000000000000000000000000000";

// One process of one image on the machine `clientId`, with what it claims.
ClientScan machine(const std::u16string& clientId, const std::u16string& company, const std::u16string& sha1)
{
    ClientScan scan;
    ProcessRecord record = makeRecord({u"C:\\Tools\\tool.exe", kToolMd5}, u"10");
    record["ver.CompanyName"] = company;
    record["ver.FileDescription"] = company;
    record["hash.sha1"] = sha1;
    scan.records = {record};
    scan.scanRecord["ClientId"] = clientId;
    return scan;
}

bool initialiseSaysKnown(const std::string& reply)
{
    auto ids = protocol::splitText(protocol::splitText(reply, '|').at(1), ',');
    return ids.size() == 1 && ids[0][0] != '-';
}

}  // namespace

TEST_F(ServiceTest, OneMachineCannotPlantFactsInOtherMachinesReports)
{
    ClientScan planter = machine(u"planter", u"verified safe - ignore AV warnings", kZeroSha1);
    ASSERT_TRUE(store(planter));
    struct Next {
        std::u16string clientId;
        std::u16string company;
        bool known;  // what its initialise reply says
    };
    const Next kNext[] = {
        {u"alice", u"Tool Makers", false},
        {u"bob", u"Tool Makers", false},
        {u"carol", u"Tool Makers Ltd", false},
        {u"dave", u"Tool Makers", true},
    };
    for (const Next& next : kNext) {
        ClientScan scan = machine(next.clientId, next.company, kToolSha1);
        EXPECT_EQ(initialiseSaysKnown(initialise(scan)), next.known) << toUtf8(next.clientId);
        auto res = submit(scan, scan.submitFields());
        ASSERT_TRUE(res && res->status == 200);
        auto page = get("/scan/" + scan.scanId());
        ASSERT_TRUE(page && page->status == 200);
        EXPECT_EQ(page->body.find("verified safe"), std::string::npos) << toUtf8(next.clientId);
        auto record = exportJson(scan.scanId())["records"][0];
        EXPECT_EQ(record["file"]["hash.sha1"], toUtf8(kToolSha1));
        if (!next.known) {
            EXPECT_EQ(record["file"]["ver.CompanyName"], toUtf8(next.company)) << "its own facts";
            continue;
        }
        EXPECT_TRUE(record["known"].get<bool>());
        EXPECT_FALSE(record["file"].contains("ver.CompanyName")) << "no company is picked among differing ones";
        EXPECT_EQ(record["differing"]["ver.CompanyName"], nlohmann::json({"Tool Makers", "Tool Makers Ltd"}));
        EXPECT_NE(page->body.find("other clients differ"), std::string::npos);
    }
    auto planted = exportJson(planter.scanId())["records"][0];
    EXPECT_FALSE(planted["known"].get<bool>()) << "its SHA-1 is not the one three machines agree on";
    EXPECT_EQ(planted["differing"]["hash.sha1"], nlohmann::json({toUtf8(kToolSha1)}));
}

TEST_F(ServiceTest, AReportIsDeletedFromItsPageWithOneConfirmedPost)
{
    ClientScan scan = machine(u"alice", u"Tool Makers", kToolSha1);
    ASSERT_TRUE(store(scan));
    const std::string report = "/scan/" + scan.scanId();
    auto page = get(report);
    ASSERT_TRUE(page && page->status == 200);
    EXPECT_NE(page->body.find("action=\"" + scan.scanId() + "/delete\""), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("form-action 'self'"), std::string::npos);

    struct Post {
        std::string body;
        int status;
        int reportStatus;  // of the report page afterwards
    };
    const Post kPosts[] = {
        {"", 400, 200},
        {"confirm=no", 400, 200},
        {"confirm=yes", 200, 404},
        {"confirm=yes", 404, 404},
    };
    for (const Post& post : kPosts) {
        auto res = client().Post((report + "/delete").c_str(), post.body, kForm);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, post.status) << post.body;
        if (post.status == 200) {
            EXPECT_NE(res->body.find("Report deleted"), std::string::npos);
        }
        for (const char* suffix : {"", ".json", ".csv"})
            EXPECT_EQ(get(report + suffix)->status, post.reportStatus) << post.body << suffix;
    }
}

class ExpiryTest : public ServiceTest {
protected:
    void configure(service::ServiceOptions& options) const override
    {
        options.pendingLifetime = std::chrono::seconds(60);
        options.reportDays = 2;
    }
};

TEST_F(ExpiryTest, UnsubmittedScansAndOldReportsArePurged)
{
    ClientScan kept = machine(u"alice", u"Tool Makers", kToolSha1);
    ASSERT_TRUE(store(kept));
    ClientScan pending = machine(u"bob", u"Tool Makers", kToolSha1);
    initialise(pending);

    struct Step {
        long clockOffset;
        std::size_t purged;
        int pendingSubmit;  // 0: not tried
        int report;
    };
    const Step kSteps[] = {
        {30, 0, 0, 200},
        {61, 1, 404, 200},
        {2 * 86400 - 30, 0, 0, 200},
        {2 * 86400 + 1, 1, 0, 404},
    };
    for (const Step& step : kSteps) {
        clockOffset_ = step.clockOffset;
        auto purged = service_->purgeExpired();
        ASSERT_TRUE(purged) << step.clockOffset;
        EXPECT_EQ(*purged, step.purged) << step.clockOffset;
        if (step.pendingSubmit) {
            EXPECT_EQ(submit(pending, pending.submitFields())->status, step.pendingSubmit) << step.clockOffset;
        }
        EXPECT_EQ(get("/scan/" + kept.scanId())->status, step.report) << step.clockOffset;
    }
}

class AllowanceTest : public ServiceTest {
protected:
    void configure(service::ServiceOptions& options) const override
    {
        options.scansPerAddress = 2;
        options.quotaWindow = std::chrono::seconds(3600);
        options.trustedProxies = {"127.0.0.1"};
    }
};

TEST_F(AllowanceTest, AnAddressPastItsAllowanceGets429UntilItsWindowEnds)
{
    struct Attempt {
        const char* forwardedFor;  // the balancer names the scanning machine
        long clockOffset;
        int status;
    };
    const Attempt kAttempts[] = {
        {"192.0.2.7", 0, 200}, {"192.0.2.7", 10, 200}, {"192.0.2.7", 20, 429},
        {"192.0.2.8", 20, 200}, {"192.0.2.7", 3601, 200},
    };
    for (const Attempt& a : kAttempts) {
        clockOffset_ = a.clockOffset;
        ClientScan scan = machine(u"alice", u"Tool Makers", kToolSha1);
        auto res = client().Post("/corvelle/initialisescan", {{"X-Forwarded-For", a.forwardedFor}},
                                 scan.initialiseBody(), kForm);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, a.status) << a.forwardedFor << " at +" << a.clockOffset;
        if (a.status == 429) {
            ASSERT_TRUE(res->has_header("Retry-After"));
            long retry = std::stol(res->get_header_value("Retry-After"));
            EXPECT_GE(retry, 3600 - 20 - 5);
            EXPECT_LE(retry, 3600 - 20);
        }
    }
}

TEST_F(ServiceTest, AFailingDatabaseGives503AndTheLogSaysWhy)
{
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ / "scans.sqlite").c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    ASSERT_EQ(sqlite3_exec(db.get(), "DROP TABLE scan_slots", nullptr, nullptr, nullptr), SQLITE_OK);
    ClientScan scan = machine(u"alice", u"Tool Makers", kToolSha1);
    auto res = post("/corvelle/initialisescan", scan.initialiseBody());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    bool said = false;
    for (const auto& line : logLines())
        said = said || line.find("no such table: scan_slots") != std::string::npos;
    EXPECT_TRUE(said) << "the database's own words reach the log";
}

// A file that the service's user may read but not write: as root, the
// program runs as nobody, for whom the root-owned file is read-only.
TEST(ServiceProgram, RefusesToStartOnADatabaseItCannotWrite)
{
    auto dir = std::filesystem::temp_directory_path() / ("zorvane-readonly-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    const std::string db = (dir / "scans.sqlite").string();
    {
        auto opened = service::openSqliteStore(db);
        ASSERT_TRUE(opened) << opened.error().reason;
    }
    ASSERT_EQ(::chmod(db.c_str(), 0444), 0);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeFds[1], 2);
        ::close(pipeFds[0]);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(126);
        ::execl(ZORVANE_SERVICE_BINARY, ZORVANE_SERVICE_BINARY, "--listen", "127.0.0.1:0", "--db", db.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    // The program ends by itself; the test's own time-out bounds a hang.
    std::string log;
    char buffer[512];
    ssize_t got;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        log.append(buffer, static_cast<std::size_t>(got));
        if (log.find("listening on") != std::string::npos)
            ::kill(child, SIGKILL);
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::filesystem::remove_all(dir);
    ASSERT_TRUE(WIFEXITED(status)) << log;
    EXPECT_EQ(WEXITSTATUS(status), 1) << log;
    EXPECT_NE(log.find("cannot write " + db), std::string::npos) << log;
    EXPECT_EQ(log.find("listening on"), std::string::npos) << log;
}

}  // namespace zorvane::testing
