#include "service/service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <regex>
#include <thread>

#include "protocol/initialise_reply.h"
#include "service/report.h"
#include "service/scan_id.h"

namespace zorvane::service {

namespace {

constexpr const char* kTextPlain = "text/plain; charset=utf-8";
constexpr const char* kTextHtml = "text/html; charset=utf-8";

// The report address is the only key to a report: keep it out of Referer
// headers and out of other sites' frames.
void securityHeaders(httplib::Response& res)
{
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                   "base-uri 'none'; form-action 'self'; frame-ancestors 'none'");
    res.set_header("Cache-Control", "no-store");
}

// Reads the body through the library's reader, stopping as soon as it
// would exceed the cap. False when it did, or when the connection failed.
bool readCappedBody(const httplib::ContentReader& reader, std::size_t cap, std::string& body, bool& tooLarge)
{
    tooLarge = false;
    return reader([&](const char* data, std::size_t length) {
        if (body.size() + length > cap) {
            tooLarge = true;
            return false;
        }
        body.append(data, length);
        return true;
    });
}

// The methods whose requests the library reads a body for.
bool carriesBody(const std::string& method)
{
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE" || method == "PRI";
}

// The two addresses that take an upload: the routes, and the check that
// runs before routing, match the same patterns.
constexpr const char* kInitialiseRoute = "/corvelle/initialisescan";
constexpr const char* kSubmitRoute = R"(/corvelle/([^/]+)/submitscan)";

bool isUploadPath(const std::string& path)
{
    static const std::regex submit(kSubmitRoute);
    return path == kInitialiseRoute || std::regex_match(path, submit);
}

// The report page's delete form posts a few bytes here.
constexpr const char* kDeleteRoute = R"(/scan/([A-Za-z0-9_-]+)/delete)";
constexpr std::size_t kMaxFormBytes = 1024;

bool isDeletePath(const std::string& path)
{
    static const std::regex remove(kDeleteRoute);
    return std::regex_match(path, remove);
}

// True when the url-encoded form `body` has the field `name` with `value`.
bool formHas(std::string_view body, std::string_view name, std::string_view value)
{
    while (!body.empty()) {
        const auto amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        if (pair.size() == name.size() + 1 + value.size() && pair.starts_with(name) && pair[name.size()] == '=' &&
            pair.ends_with(value))
            return true;
        body = amp == std::string_view::npos ? std::string_view{} : body.substr(amp + 1);
    }
    return false;
}

}  // namespace

std::string clientAddress(const std::string& peer, std::string_view forwardedFor,
                          const std::vector<std::string>& trustedProxies)
{
    auto trusted = [&](std::string_view address) {
        return std::find(trustedProxies.begin(), trustedProxies.end(), address) != trustedProxies.end();
    };
    if (!trusted(peer))
        return peer;
    while (!forwardedFor.empty()) {
        const auto comma = forwardedFor.rfind(',');
        std::string_view entry = comma == std::string_view::npos ? forwardedFor : forwardedFor.substr(comma + 1);
        forwardedFor = comma == std::string_view::npos ? std::string_view{} : forwardedFor.substr(0, comma);
        while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\t'))
            entry.remove_prefix(1);
        while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t'))
            entry.remove_suffix(1);
        if (trusted(entry))
            continue;
        const std::string address(entry);
        unsigned char parsed[16];
        if (inet_pton(AF_INET, address.c_str(), parsed) == 1 || inet_pton(AF_INET6, address.c_str(), parsed) == 1)
            return address;
        return peer;
    }
    return peer;
}

std::string utcNowText()
{
    return utcText(std::chrono::system_clock::now());
}

std::string utcText(std::chrono::system_clock::time_point time)
{
    std::time_t now = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &utc);
    return buffer;
}

Service::Service(ScanStore& store, ServiceOptions options, LogSink log)
    : store_(store),
      options_(std::move(options)),
      log_([sink = std::move(log)](std::string_view line) { sink(escapedForLog(line)); }),
      server_(std::make_unique<httplib::Server>())
{
    while (!options_.publicUrl.empty() && options_.publicUrl.back() == '/')
        options_.publicUrl.pop_back();
    // The library listens with a backlog of 5, so a burst of clients sees
    // connections dropped and retried seconds later; bind() widens it on
    // the socket noted here. No SO_REUSEPORT: a second service on a taken
    // port must fail to bind, not share the port.
    server_->set_socket_options([this](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listenSocket_ = sock;
    });
    // Replies go out as two writes, head then body: with Nagle's algorithm
    // the body waits for the client's delayed acknowledgement of the head
    // (40 ms on Linux) on every request.
    server_->set_tcp_nodelay(true);
    routes();
    if (options_.purgeInterval.count() > 0)
        purger_ = std::thread([this] { purgeLoop(); });
}

Service::~Service()
{
    {
        std::lock_guard lock(purgeMutex_);
        purgeStop_ = true;
    }
    purgeWake_.notify_all();
    if (purger_.joinable())
        purger_.join();
}

std::chrono::system_clock::time_point Service::now() const
{
    return options_.clock ? options_.clock() : std::chrono::system_clock::now();
}

std::optional<std::size_t> Service::purgeExpired()
{
    using namespace std::chrono;
    const auto at = now();
    PurgeLimits limits;
    // An empty bound matches no stored time: zero keeps those scans.
    if (options_.pendingLifetime.count() > 0)
        limits.initialisedBefore = utcText(at - options_.pendingLifetime);
    if (options_.reportDays > 0)
        limits.submittedBefore = utcText(at - hours(24) * options_.reportDays);
    limits.windowsBefore = duration_cast<seconds>(at.time_since_epoch() - options_.quotaWindow).count();
    std::size_t removed = 0;
    for (;;) {
        auto batch = store_.purgeExpired(limits);
        if (!batch) {
            log_("purge stopped after " + std::to_string(removed) + " expired scans: the store failed");
            return std::nullopt;
        }
        removed += *batch;
        if (*batch < limits.batch)
            break;
        std::lock_guard lock(purgeMutex_);
        if (purgeStop_)
            break;
    }
    if (removed > 0)
        log_("purged " + std::to_string(removed) + " expired scans");
    return removed;
}

void Service::purgeLoop()
{
    std::unique_lock lock(purgeMutex_);
    while (!purgeStop_) {
        lock.unlock();
        purgeExpired();
        lock.lock();
        purgeWake_.wait_for(lock, options_.purgeInterval, [this] { return purgeStop_; });
    }
}

bool Service::bind(const std::string& host, int port, std::string& error)
{
    if (port == 0)
        port_ = server_->bind_to_any_port(host.c_str());
    else
        port_ = server_->bind_to_port(host.c_str(), port) ? port : -1;
    if (port_ <= 0) {
        error = "cannot listen on " + host + ":" + std::to_string(port);
        return false;
    }
    if (listenSocket_ >= 0)
        ::listen(listenSocket_, SOMAXCONN);
    if (options_.publicUrl.empty()) {
        std::string shown = host == "0.0.0.0" || host == "::" || host.empty() ? "127.0.0.1" : host;
        if (shown.find(':') != std::string::npos)
            shown = "[" + shown + "]";
        options_.publicUrl = "http://" + shown + ":" + std::to_string(port_);
    }
    return true;
}

void Service::run()
{
    {
        std::lock_guard lock(runMutex_);
        if (stopRequested_)
            return;
        running_ = true;
    }
    server_->listen_after_bind();
    std::lock_guard lock(runMutex_);
    running_ = false;
}

void Service::stop()
{
    {
        std::lock_guard lock(runMutex_);
        stopRequested_ = true;
        if (!running_)
            return;
    }
    // The library's stop() does nothing until its accept loop has started,
    // so a stop that races with run() waits for that loop (or for run() to
    // give up on a failed socket).
    for (;;) {
        if (server_->is_running()) {
            server_->stop();
            return;
        }
        {
            std::lock_guard lock(runMutex_);
            if (!running_)
                return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

ExchangeReply Service::refusal(std::string_view path, const std::string& peer, const Rejection& r)
{
    log_("refused POST " + std::string(path) + " from " + peer + ": " + std::to_string(r.status) + " " + r.reason);
    return ExchangeReply{r.status, r.reason + "\n"};
}

ExchangeReply Service::initialise(std::string_view body, const std::string& peer)
{
    constexpr std::string_view path = kInitialiseRoute;
    auto decoded = decodeInitialise(body, options_.limits);
    if (auto* r = std::get_if<Rejection>(&decoded))
        return refusal(path, peer, *r);
    const auto& md5s = std::get<std::vector<std::string>>(decoded);

    const auto at = now();
    if (options_.scansPerAddress > 0) {
        const auto nowSeconds = std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
        auto admission =
            store_.admitScan(peer, nowSeconds, options_.quotaWindow.count(), options_.scansPerAddress);
        if (!admission)
            return refusal(path, peer, Rejection{503, "the scan could not be counted"});
        if (!admission->admitted) {
            auto reply = refusal(path, peer,
                                 Rejection{429, "more than " + std::to_string(options_.scansPerAddress) +
                                                    " new scans from this address; retry in " +
                                                    std::to_string(admission->retryAfterSeconds) + " seconds"});
            reply.retryAfterSeconds = admission->retryAfterSeconds;
            return reply;
        }
    }

    auto scanId = newScanId();
    if (!scanId)
        return refusal(path, peer, Rejection{503, "no random source for a scan id"});
    ScanHeader header{*scanId, utcText(at), peer, false};
    auto slots = store_.initialiseScan(header, md5s);
    if (!slots)
        return refusal(path, peer, Rejection{503, "the scan could not be stored"});

    std::vector<std::string> staticIds;
    staticIds.reserve(slots->size());
    std::size_t unknown = 0;
    for (const Slot& slot : *slots) {
        unknown += slot.unknown ? 1 : 0;
        staticIds.push_back((slot.unknown ? "-" : "") + std::to_string(slot.fileId));
    }
    ExchangeReply reply{200, protocol::formatInitialiseReply(header.scanId, staticIds, header.scanTime, header.clientIp)};
    log_("initialised scan " + header.scanId + " for " + header.clientIp + ": " + std::to_string(slots->size()) +
         " records, " + std::to_string(unknown) + " unknown");
    return reply;
}

ExchangeReply Service::submit(const std::string& pathId, std::string_view body, const std::string& peer)
{
    const std::string path = "/corvelle/" + pathId + "/submitscan";
    if (!isScanIdSyntax(pathId))
        return refusal(path, peer, Rejection{404, "no such scan"});
    auto named = submittedScanId(body);
    if (auto* r = std::get_if<Rejection>(&named))
        return refusal(path, peer, *r);
    if (std::get<std::string>(named) != pathId)
        return refusal(path, peer, Rejection{400, "scan_id differs from the scan in the path"});
    auto scan = store_.findScan(pathId);
    if (!scan)
        return refusal(path, peer, Rejection{404, "no such scan"});
    if (scan->header.submitted)
        return refusal(path, peer, Rejection{409, "this scan was submitted already"});

    std::lock_guard lock(decodeMutex_);
    auto decoded = decodeSubmit(body, *scan, options_.limits);
    if (auto* r = std::get_if<Rejection>(&decoded))
        return refusal(path, peer, *r);
    auto& submission = std::get<Submission>(decoded);
    submission.client = clientIdentity(submission.scanValues, scan->header.clientIp);
    switch (store_.storeSubmission(submission, utcText(now()))) {
    case StoreOutcome::Stored:
        break;
    case StoreOutcome::AlreadySubmitted:
        return refusal(path, peer, Rejection{409, "this scan was submitted already"});
    case StoreOutcome::UnknownScan:
        return refusal(path, peer, Rejection{404, "no such scan"});
    case StoreOutcome::Failed:
        return refusal(path, peer, Rejection{503, "the scan could not be stored"});
    }
    std::string address = options_.publicUrl + "/scan/" + pathId;
    log_("stored scan " + pathId + ": " + std::to_string(submission.processes.size()) + " records, " +
         std::to_string(submission.files.size()) + " new files; report " + address);
    return ExchangeReply{200, std::move(address)};
}

ExchangeReply Service::deleteReport(const std::string& scanId, std::string_view body, const std::string& peer)
{
    auto page = [](int status, std::string_view title, std::string_view text) {
        return ExchangeReply{status, renderMessagePage(title, text), "text/html; charset=utf-8"};
    };
    if (!formHas(body, "confirm", "yes"))
        return page(400, "Report not deleted",
                    "Deleting a report needs the confirmation box ticked. Go back to the report to try again.");
    const auto outcome = isScanIdSyntax(scanId) ? store_.deleteReport(scanId) : DeleteOutcome::NoSuchReport;
    switch (outcome) {
    case DeleteOutcome::Deleted:
        log_("deleted scan " + scanId + " at the request of " + peer);
        return page(200, "Report deleted",
                    "The report and the facts its scan sent are deleted. Its address now finds nothing.");
    case DeleteOutcome::NoSuchReport:
        return page(404, "Report not found",
                    "There is no report at this address. Reports are kept under the exact address that the scan "
                    "returned.");
    case DeleteOutcome::Failed:
        break;
    }
    log_("could not delete scan " + scanId + " for " + peer + ": the store failed");
    return page(503, "Report not deleted", "The report could not be deleted just now. Please try again later.");
}

void Service::routes()
{
    auto& server = *server_;
    const Limits limits = options_.limits;

    auto refuse = [this](const httplib::Request& req, httplib::Response& res, const Rejection& r) {
        res.status = r.status;
        res.set_content(r.reason + "\n", kTextPlain);
        log_("refused " + req.method + " " + req.path + " from " + req.remote_addr + ": " +
             std::to_string(r.status) + " " + r.reason);
    };

    // Runs before any body is read. The library reads the whole body of a
    // request to any address it has no streaming route for, and inflates a
    // compressed one, without a cap; only the two upload addresses stream
    // theirs under the cap. So a body anywhere else, a compressed body and
    // a declared body over the cap are refused at once, unread.
    server.set_pre_routing_handler([this, limits, refuse](const httplib::Request& req, httplib::Response& res) {
        securityHeaders(res);
        if (!carriesBody(req.method))
            return httplib::Server::HandlerResponse::Unhandled;
        const bool deleting = isDeletePath(req.path);
        if (!isUploadPath(req.path) && !deleting) {
            res.set_header("Connection", "close");
            refuse(req, res, Rejection{404, "not found"});
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "POST") {
            res.set_header("Allow", "POST");
            res.set_header("Connection", "close");
            refuse(req, res, Rejection{405, "only POST is accepted here"});
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.has_header("Content-Encoding")) {
            refuse(req, res, Rejection{415, "compressed request bodies are not accepted"});
            res.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.has_header("Content-Length")) {
            auto declared = req.get_header_value<std::uint64_t>("Content-Length");
            const std::size_t cap = deleting ? kMaxFormBytes : limits.maxBodyBytes;
            if (declared > cap) {
                refuse(req, res, Rejection{413, "the body is larger than " + std::to_string(cap) + " bytes"});
                res.set_header("Connection", "close");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    auto readBody = [limits, refuse](const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader& reader, std::string& body,
                                     std::size_t cap = 0) {
        cap = cap ? cap : limits.maxBodyBytes;
        bool tooLarge = false;
        if (readCappedBody(reader, cap, body, tooLarge))
            return true;
        res.set_header("Connection", "close");
        refuse(req, res,
               tooLarge ? Rejection{413, "the body is larger than " + std::to_string(cap) + " bytes"}
                        : Rejection{400, "the body could not be read"});
        return false;
    };

    auto answer = [](httplib::Response& res, const ExchangeReply& reply) {
        res.status = reply.status;
        res.set_content(reply.text, reply.contentType);
        if (reply.retryAfterSeconds > 0)
            res.set_header("Retry-After", std::to_string(reply.retryAfterSeconds));
    };

    // Several X-Forwarded-For headers read as one list, in their order.
    auto client = [this](const httplib::Request& req) {
        std::string forwardedFor;
        const auto count = req.get_header_value_count("X-Forwarded-For");
        for (std::size_t i = 0; i < count; ++i)
            forwardedFor += (i ? "," : "") + req.get_header_value("X-Forwarded-For", i);
        return clientAddress(req.remote_addr, forwardedFor, options_.trustedProxies);
    };

    server.Post(kInitialiseRoute, [this, readBody, answer, client](const httplib::Request& req,
                                                                      httplib::Response& res,
                                                                      const httplib::ContentReader& reader) {
        std::string body;
        if (!readBody(req, res, reader, body))
            return;
        answer(res, initialise(body, client(req)));
    });

    server.Post(kSubmitRoute, [this, refuse, readBody, answer, client](const httplib::Request& req,
                                                                                     httplib::Response& res,
                                                                                     const httplib::ContentReader&
                                                                                         reader) {
        // A path that cannot name a scan is refused before its body is read.
        std::string pathId = req.matches[1];
        if (!isScanIdSyntax(pathId))
            return refuse(req, res, Rejection{404, "no such scan"});
        std::string body;
        if (!readBody(req, res, reader, body))
            return;
        answer(res, submit(pathId, body, client(req)));
    });

    server.Post(kDeleteRoute, [this, readBody, answer, client](const httplib::Request& req, httplib::Response& res,
                                                                 const httplib::ContentReader& reader) {
        std::string body;
        if (!readBody(req, res, reader, body, kMaxFormBytes))
            return;
        answer(res, deleteReport(req.matches[1], body, client(req)));
    });

    auto withScan = [this](const httplib::Request& req, httplib::Response& res, auto render,
                           const char* contentType) {
        std::string id = req.matches[1];
        auto scan = isScanIdSyntax(id) ? store_.loadScan(id) : std::nullopt;
        if (!scan) {
            res.status = 404;
            res.set_content(renderMessagePage("Report not found",
                                              "There is no report at this address. Reports are kept under the "
                                              "exact address that the scan returned."),
                            kTextHtml);
            return;
        }
        res.set_content(render(*scan), contentType);
    };
    server.Get(R"(/scan/([A-Za-z0-9_-]+)\.json)", [withScan](const httplib::Request& req, httplib::Response& res) {
        withScan(req, res, renderReportJson, "application/json");
    });
    server.Get(R"(/scan/([A-Za-z0-9_-]+)\.csv)", [withScan](const httplib::Request& req, httplib::Response& res) {
        withScan(req, res, renderReportCsv, "text/csv; charset=utf-8");
        if (res.status != 404)
            res.set_header("Content-Disposition", "attachment; filename=\"zorvane-" + std::string(req.matches[1]) +
                                                      ".csv\"");
    });
    server.Get(R"(/scan/([A-Za-z0-9_-]+))", [withScan](const httplib::Request& req, httplib::Response& res) {
        withScan(req, res, renderReportPage, kTextHtml);
    });
    server.Get(R"(/zorvaneeula/?)", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(renderAgreementPage(), kTextHtml);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(renderMessagePage("Zorvane process-information service",
                                          "Run zorvane.exe on a Windows computer to scan its processes; the "
                                          "program opens its report here when the scan is done."),
                        kTextHtml);
    });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            res.set_content(res.status == 404 ? "not found\n" : "request refused\n", kTextPlain);
    });
    server.set_exception_handler([this](const httplib::Request& req, httplib::Response& res, std::exception_ptr error) {
        std::string what = "unknown exception";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        res.status = 500;
        res.set_content("internal error\n", kTextPlain);
        log_("error in " + req.method + " " + req.path + ": " + what);
    });
}

}  // namespace zorvane::service
