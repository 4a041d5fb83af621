#pragma once
// A real service on 127.0.0.1 with an ephemeral port and its own SQLite
// file, and a client that encodes with the client's own encoder.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "core/base/conversions.h"
#include "core/base/record.h"
#include "protocol/form_fields.h"
#include "protocol/initialise_reply.h"
#include "protocol/request_encoder.h"
#include "service/service.h"
#include "service/sqlite_store.h"

namespace zorvane::testing {

struct FileFacts {
    std::u16string path;  // full path, as the scan names it
    std::u16string md5;   // empty: no digest, the placeholder goes out
    std::u16string version = u"1.0.0.0";
};

inline ProcessRecord makeRecord(const FileFacts& f, std::u16string pid = u"", std::u16string moduleList = u"")
{
    ProcessRecord r;
    r["path.pathFull"] = f.path;
    auto cut = f.path.rfind(u'\\');
    std::u16string lower = f.path;
    for (auto& c : lower)
        if (c >= u'A' && c <= u'Z')
            c = c - u'A' + u'a';
    r["path.path"] = lower.substr(0, cut);
    r["path.file"] = lower.substr(cut + 1);
    r["path.lpath"] = u"%system%";
    if (!f.md5.empty()) {
        r["hash.md5"] = f.md5;
        r["hash.sha1"] = u"sha1-of-" + f.md5;
    }
    r["handle.filesize"] = u"4096";
    r["ver.FileVersion"] = f.version;
    r["ver.CompanyName"] = u"Example Corp";
    if (!pid.empty()) {
        r["wmi.ProcessId"] = pid;
        r["wmi.ParentProcessId"] = u"1";
        r["ref.startupMethod"] = u"1";
        r["moduleList"] = moduleList;
    }
    return r;
}

// One scan as the client holds it, driven through both exchanges.
struct ClientScan {
    std::vector<ProcessRecord> records;
    ProcessRecord scanRecord;
    protocol::RequestEncoder encoder;

    ClientScan()
    {
        scanRecord["Caption"] = u"Microsoft Windows 7 Professional";
        scanRecord["Processor"] = u"Test CPU";
    }

    std::string initialiseBody() const
    {
        protocol::FormFields fields;
        protocol::buildInitialiseFields(records, fields);
        protocol::encodeFields(fields, false);
        return protocol::buildBody(fields);
    }
    bool applyReply(const std::string& reply)
    {
        return protocol::applyInitialiseReply(records, scanRecord, widenLatin1(reply));
    }
    protocol::FormFields submitFields()
    {
        auto fields = protocol::buildSubmitFields(encoder, scanRecord, records);
        protocol::encodeFields(fields, true);
        return fields;
    }
    std::string scanId() { return toUtf8(scanRecord["scanId"]); }
    std::string submitPath() { return "/corvelle/" + scanId() + "/submitscan"; }
};

class ServiceTest : public ::testing::Test {
protected:
    static constexpr const char* kForm = "application/x-www-form-urlencoded";

    void SetUp() override
    {
        dir_ = std::filesystem::temp_directory_path() /
               ("zorvane-service-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        auto log = [this](std::string_view line) {
            std::lock_guard lock(logMutex_);
            log_.emplace_back(line);
        };
        auto opened = service::openSqliteStore((dir_ / "scans.sqlite").string(),
                                               service::StoreOptions{.corroborations = corroborations(), .log = log});
        ASSERT_TRUE(opened) << opened.error().reason;
        store_ = std::move(*opened);
        service::ServiceOptions options;
        options.publicUrl = "http://reports.example/";
        options.limits = limits();
        // No background purge, no allowance per address and a clock that
        // the test moves: tests that want them set them in configure().
        options.purgeInterval = std::chrono::seconds(0);
        options.scansPerAddress = 0;
        options.clock = [this] { return std::chrono::system_clock::now() + std::chrono::seconds(clockOffset_.load()); };
        configure(options);
        service_ = std::make_unique<service::Service>(*store_, options, log);
        auto bound = service_->bind("127.0.0.1", 0);
        ASSERT_TRUE(bound) << bound.error().reason;
        thread_ = std::thread([this] { service_->run(); });
    }

    void TearDown() override
    {
        if (service_)
            service_->stop();
        if (thread_.joinable())
            thread_.join();
        service_.reset();
        store_.reset();
        std::filesystem::remove_all(dir_);
    }

    virtual int corroborations() const { return 3; }
    virtual void configure(service::ServiceOptions&) const {}

    virtual service::Limits limits() const
    {
        service::Limits l;
        l.maxBodyBytes = 1u << 20;
        l.maxInflatedBytes = 1u << 20;
        l.maxRecords = 1000;
        return l;
    }

    httplib::Client client() const
    {
        httplib::Client c("127.0.0.1", service_->port());
        c.set_read_timeout(30, 0);
        return c;
    }

    httplib::Result post(const std::string& path, const std::string& body) const
    {
        return client().Post(path.c_str(), body, kForm);
    }
    httplib::Result get(const std::string& path) const { return client().Get(path.c_str()); }

    nlohmann::json exportJson(const std::string& scanId) const
    {
        auto res = get("/scan/" + scanId + ".json");
        EXPECT_TRUE(res && res->status == 200);
        return res && res->status == 200 ? nlohmann::json::parse(res->body) : nlohmann::json();
    }

    // The initialise exchange; the reply is applied to the scan's records.
    std::string initialise(ClientScan& scan) const
    {
        auto res = post("/corvelle/initialisescan", scan.initialiseBody());
        EXPECT_TRUE(res);
        if (!res)
            return {};
        EXPECT_EQ(res->status, 200) << res->body;
        EXPECT_TRUE(scan.applyReply(res->body)) << res->body;
        return res->body;
    }

    httplib::Result submit(ClientScan& scan, const protocol::FormFields& fields) const
    {
        return post(scan.submitPath(), protocol::buildBody(fields));
    }

    // Both exchanges of a scan the service must accept; true once stored.
    bool store(ClientScan& scan) const
    {
        initialise(scan);
        auto res = submit(scan, scan.submitFields());
        EXPECT_TRUE(res);
        if (res) {
            EXPECT_EQ(res->status, 200) << res->body;
        }
        return res && res->status == 200;
    }

    std::string rawStatusLine(const std::string& head) const;

    std::vector<std::string> logLines()
    {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    // The log once it has `count` lines, or after 30 s: a request's access
    // line is written when its reply has gone out, which may be after the
    // client read it.
    std::vector<std::string> logLinesOnceThereAre(std::size_t count)
    {
        for (int i = 0; i < 300 && logLines().size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return logLines();
    }

    std::filesystem::path dir_;
    std::unique_ptr<service::ScanStore> store_;
    std::unique_ptr<service::Service> service_;
    std::thread thread_;
    // Seconds the service's clock runs ahead of the system clock.
    std::atomic<long> clockOffset_{0};
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

// Sends a request head as it stands and returns the reply's status line.
inline std::string ServiceTest::rawStatusLine(const std::string& head) const
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(service_->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(head.size())) {
        char buffer[4096];
        ssize_t got;
        while (reply.find("\r\n") == std::string::npos && (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return reply.substr(0, reply.find("\r\n"));
}

}  // namespace zorvane::testing
