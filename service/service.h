#pragma once
// The HTTP side of the service: both exchanges of the client, the report
// pages and exports, and the agreement page.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "service/decoding.h"
#include "service/http_server.h"
#include "service/report.h"
#include "service/store.h"

namespace zorvane::service {

struct ServiceOptions {
    // Base of the results addresses, without a trailing "/"; when empty,
    // http://<listen host>:<port> (127.0.0.1 for a wildcard listen address).
    std::string publicUrl;
    Limits limits;
    // Peers (a load balancer) whose X-Forwarded-For header names the
    // scanning machine; anyone else's header is ignored. They are exempt
    // from the cap on connections per address.
    std::vector<std::string> trustedProxies;
    // Connection, header, timing and shutdown limits of the HTTP server;
    // its body cap is limits.maxBodyBytes.
    HttpOptions http;
    // Reports and exports written at once; more requests for one get 503
    // with Retry-After.
    unsigned maxRenders = 8;

    // Scans initialised and not submitted within this time are removed with
    // the files reserved for them; zero keeps them.
    std::chrono::seconds pendingLifetime{std::chrono::hours(24)};
    // Reports are removed this many days after their submission; zero
    // keeps them.
    int reportDays = 90;
    // New scans one client address may start within one window (which
    // begins with its first scan); zero: no limit.
    std::int64_t scansPerAddress = 100;
    std::chrono::seconds quotaWindow{std::chrono::hours(1)};
    // Pause between two background purges; zero: no background purge.
    std::chrono::seconds purgeInterval{std::chrono::minutes(10)};
    // Now, for scan times, expiry and windows; the system clock when empty.
    std::function<std::chrono::system_clock::time_point()> clock;
};

// What one of the two exchanges answers: an HTTP status and the plain-text
// body (the reply, the results address, or a one-line reason).
struct ExchangeReply {
    int status = 200;
    std::string text;
    std::string contentType = "text/plain; charset=utf-8";
    // A 429's Retry-After, in seconds.
    std::int64_t retryAfterSeconds = 0;
};

class Service {
public:
    Service(ScanStore& store, ServiceOptions options, LogSink log);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Binds the listening socket; port 0 picks a free one.
    Expected<> bind(const std::string& host, int port);
    int port() const { return server_.port(); }
    const std::string& publicUrl() const { return options_.publicUrl; }

    // Serves until stop() is called from another thread or a signal thread,
    // then lets requests in flight end for up to the shutdown grace. A
    // stop() that comes first, even before run() starts, makes run() return
    // at once. Refused (and logged) when the server could not start.
    Expected<> run();
    void stop();

    // The two exchanges without HTTP: decode, store and answer the body that
    // reached POST /corvelle/initialisescan, or POST /corvelle/<pathId>/submitscan,
    // from `peer`. The HTTP routes call these; every outcome is logged.
    ExchangeReply initialise(std::string_view body, const std::string& peer);
    ExchangeReply submit(const std::string& pathId, std::string_view body, const std::string& peer);

    // POST /scan/<scanId>/delete: removes the report when the form body
    // carries confirm=yes, and answers with a page that says what happened.
    ExchangeReply deleteReport(const std::string& scanId, std::string_view body, const std::string& peer);

    // Removes expired scans and ended address windows in small
    // transactions until none is left; the number of scans removed. A
    // store failure ends the purge (logged). The background purge calls
    // this.
    Expected<std::size_t> purgeExpired();

private:
    static HttpOptions httpOptions(const ServiceOptions& options);

    // The HTTP server's handlers: a request's head, its body, a body past
    // the cap.
    std::optional<HttpReply> onHead(HttpRequest& request);
    HttpReply onBody(HttpRequest& request);
    HttpReply onBodyTooLarge(const HttpRequest& request);

    // The checks before routing: who the client is, and whether an upload
    // may send its body.
    void identifyClient(HttpRequest& request) const;
    Expected<> checkUploadHead(const HttpRequest& request) const;

    // The routes of requests without a body: the static pages and reports.
    HttpReply routeRead(const HttpRequest& request);
    const std::string* staticPage(const std::string& path) const;
    // The page of a report, with the processes of status `only` alone when
    // it is given, or its JSON or CSV export.
    HttpReply report(const std::string& id, ReportFormat format, std::optional<FileStatus> only);
    Expected<> takeRenderPermit();

    // The exchanges: the initialise reply, or the submitted scan's report
    // address.
    Expected<> checkQuota(const std::string& peer, std::chrono::system_clock::time_point at);
    Expected<std::string> initialiseScan(std::string_view body, const std::string& peer);
    Expected<std::string> submitScan(const std::string& pathId, std::string_view body);

    // A refusal, logged, as the server sends it or as an exchange answers.
    HttpReply refused(const HttpRequest& request, const Rejection& r);
    ExchangeReply refusal(std::string_view path, const std::string& peer, const Rejection& r);

    std::chrono::system_clock::time_point now() const;
    void purgeLoop();

    ScanStore& store_;
    ServiceOptions options_;
    LogSink log_;
    // Decoding a submission holds up to three inflated fields in memory;
    // one at a time keeps the service's peak memory bounded.
    std::mutex decodeMutex_;
    std::atomic<unsigned> renders_{0};
    const std::string homePage_;
    const std::string agreementPage_;
    const std::string notFoundPage_;
    HttpServer server_;
    std::mutex purgeMutex_;
    std::condition_variable purgeWake_;
    bool purgeStop_ = false;
    // Last member: started once everything it reads is made, joined first.
    std::thread purger_;
};

// A line fit for the log: control characters a peer sent show as \xNN, so
// that no request can write a line of its own, and every run of 16 or more
// base64url characters (a scan id, the only key to a report, or anything
// that may be one) is cut to its first four and "…".
std::string logSafe(std::string_view line);

// The scanning machine's address: the peer itself, unless the peer is a
// trusted proxy; then the right-most address of the comma-separated
// X-Forwarded-For list that is not a trusted proxy (entries before it may be
// forged by the client). The peer when that entry is no IP address.
std::string clientAddress(const std::string& peer, std::string_view forwardedFor,
                          const std::vector<std::string>& trustedProxies);

// UTC "YYYY-MM-DD HH:MM:SS" of now, or of `time`.
std::string utcNowText();
std::string utcText(std::chrono::system_clock::time_point time);

}  // namespace zorvane::service
