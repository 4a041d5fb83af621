#include "service/service.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <ctime>
#include <regex>

#include "protocol/initialise_reply.h"
#include "service/scan_id.h"

namespace zorvane::service {

namespace {

constexpr const char* kTextHtml = "text/html; charset=utf-8";

// The report address is the only key to a report: keep it out of Referer
// headers and out of other sites' frames.
void addSecurityHeaders(HttpReply& reply)
{
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    reply.headers.emplace_back("Referrer-Policy", "no-referrer");
    reply.headers.emplace_back("X-Frame-Options", "DENY");
    reply.headers.emplace_back("Content-Security-Policy",
                               "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                               "base-uri 'none'; form-action 'self'; frame-ancestors 'none'");
    reply.headers.emplace_back("Cache-Control", "no-store");
}

HttpReply textReply(int status, std::string text)
{
    HttpReply reply;
    reply.status = status;
    reply.text = std::move(text);
    return reply;
}

HttpReply pageReply(int status, const std::string& page)
{
    HttpReply reply;
    reply.status = status;
    reply.contentType = kTextHtml;
    reply.staticText = &page;
    return reply;
}

bool isBase64UrlCharacter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The methods whose requests may carry a body.
bool carriesBody(const std::string& method)
{
    return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE" || method == "PRI";
}

// The addresses that take a body: the two exchanges, and the delete form
// of a report page, which posts a few bytes. The submit address names its
// scan, the delete address its report.
constexpr const char* kInitialiseRoute = "/corvelle/initialisescan";
constexpr std::size_t kMaxFormBytes = 1024;

struct UploadTarget {
    enum Kind { Initialise, Submit, Delete } kind;
    std::string id;
};

std::optional<UploadTarget> uploadTarget(const std::string& path)
{
    static const std::regex submit(R"(/corvelle/([^/]+)/submitscan)");
    static const std::regex remove(R"(/scan/([A-Za-z0-9_-]+)/delete)");
    if (path == kInitialiseRoute)
        return UploadTarget{UploadTarget::Initialise, {}};
    std::smatch match;
    if (std::regex_match(path, match, submit))
        return UploadTarget{UploadTarget::Submit, match[1].str()};
    if (std::regex_match(path, match, remove))
        return UploadTarget{UploadTarget::Delete, match[1].str()};
    return std::nullopt;
}

Rejection tooLarge(std::size_t cap)
{
    return Rejection{413, "the body is larger than " + std::to_string(cap) + " bytes"};
}

// An upload announces its length, within `cap`, or a transfer coding.
Expected<> checkDeclaredSize(const HttpRequest& request, std::size_t cap)
{
    auto length = request.header("Content-Length");
    if (!length)
        return request.header("Transfer-Encoding") ? Expected<>() : reject(411, "an upload needs a Content-Length");
    const std::string text(*length);
    char* end = nullptr;
    const unsigned long long declared = std::strtoull(text.c_str(), &end, 10);
    if (declared > cap)
        return reject(tooLarge(cap));
    return {};
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

// A report address: the scan id and which of its forms.
struct ReportTarget {
    std::string id;
    ReportFormat format = ReportFormat::Page;
};

std::optional<ReportTarget> reportTarget(const std::string& path)
{
    static const std::regex report(R"(/scan/([A-Za-z0-9_-]+)(\.json|\.csv)?)");
    std::smatch match;
    if (!std::regex_match(path, match, report))
        return std::nullopt;
    const std::string suffix = match[2].str();
    return ReportTarget{match[1].str(), suffix == ".json"  ? ReportFormat::Json
                                        : suffix == ".csv" ? ReportFormat::Csv
                                                           : ReportFormat::Page};
}

// How each form of a report is sent: its type, and for the CSV export the
// file name a browser saves it under.
void describeReport(HttpReply& reply, ReportFormat format, const std::string& id)
{
    switch (format) {
    case ReportFormat::Page:
        reply.contentType = kTextHtml;
        break;
    case ReportFormat::Json:
        reply.contentType = "application/json";
        break;
    case ReportFormat::Csv:
        reply.contentType = "text/csv; charset=utf-8";
        reply.headers.emplace_back("Content-Disposition", "attachment; filename=\"zorvane-" + id + ".csv\"");
        break;
    }
}

// A refusal as plain text, with the Retry-After it asks for.
HttpReply rejectionReply(const Rejection& r)
{
    HttpReply reply = textReply(r.status, r.reason + "\n");
    if (r.retryAfterSeconds > 0)
        reply.headers.emplace_back("Retry-After", std::to_string(r.retryAfterSeconds));
    return reply;
}

// A report being sent, holding one of the service's render permits until
// the server drops it.
class ReportStream final : public HttpStream {
public:
    ReportStream(std::unique_ptr<ReportWriter> writer, std::atomic<unsigned>& renders)
        : writer_(std::move(writer)), renders_(renders)
    {
    }
    ~ReportStream() override { --renders_; }
    bool next(std::string& out) override { return writer_->next(out); }
    bool failed() const override { return writer_->failed(); }

private:
    std::unique_ptr<ReportWriter> writer_;
    std::atomic<unsigned>& renders_;
};

}  // namespace

std::string logSafe(std::string_view line)
{
    std::string safe;
    safe.reserve(line.size());
    for (std::size_t i = 0; i < line.size();) {
        std::size_t run = i;
        while (run < line.size() && isBase64UrlCharacter(line[run]))
            ++run;
        if (run - i >= 16) {
            safe.append(line.substr(i, 4));
            safe += "\xE2\x80\xA6";
            i = run;
            continue;
        }
        safe.append(line.substr(i, run - i));
        if (run == line.size())
            break;
        // Anything else is one byte, kept unless it is a control character.
        safe += escapedForLog(line.substr(run, 1));
        i = run + 1;
    }
    return safe;
}

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
      log_([sink = std::move(log)](std::string_view line) { sink(logSafe(line)); }),
      homePage_(renderMessagePage("Zorvane process-information service",
                                  "Run zorvane.exe on a Windows computer to scan its processes; the program opens "
                                  "its report here when the scan is done.")),
      agreementPage_(renderAgreementPage()),
      notFoundPage_(renderMessagePage("Report not found",
                                      "There is no report at this address. Reports are kept under the exact "
                                      "address that the scan returned.")),
      server_(httpOptions(options_),
              HttpHandlers{
                  [this](HttpRequest& request) { return onHead(request); },
                  [this](HttpRequest& request) { return onBody(request); },
                  [this](const HttpRequest& request) { return onBodyTooLarge(request); },
                  [this](std::string_view line) { log_(line); },
              })
{
    while (!options_.publicUrl.empty() && options_.publicUrl.back() == '/')
        options_.publicUrl.pop_back();
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

HttpOptions Service::httpOptions(const ServiceOptions& options)
{
    HttpOptions http = options.http;
    http.maxBodyBytes = options.limits.maxBodyBytes;
    http.unlimitedAddresses = options.trustedProxies;
    return http;
}

std::chrono::system_clock::time_point Service::now() const
{
    return options_.clock ? options_.clock() : std::chrono::system_clock::now();
}

Expected<std::size_t> Service::purgeExpired()
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
            return batch;
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

Expected<> Service::bind(const std::string& host, int port)
{
    if (auto bound = server_.bind(host, port); !bound)
        return bound;
    if (options_.publicUrl.empty()) {
        std::string shown = host == "0.0.0.0" || host == "::" || host.empty() ? "127.0.0.1" : host;
        if (shown.find(':') != std::string::npos)
            shown = "[" + shown + "]";
        options_.publicUrl = "http://" + shown + ":" + std::to_string(server_.port());
    }
    return {};
}

Expected<> Service::run()
{
    auto served = server_.run();
    if (!served)
        log_(served.error().reason);
    return served;
}

void Service::stop()
{
    server_.stop();
}

// The exchanges.

ExchangeReply Service::refusal(std::string_view path, const std::string& peer, const Rejection& r)
{
    log_("refused POST " + std::string(path) + " from " + peer + ": " + std::to_string(r.status) + " " + r.reason);
    return ExchangeReply{r.status, r.reason + "\n", ExchangeReply{}.contentType, r.retryAfterSeconds};
}

ExchangeReply Service::initialise(std::string_view body, const std::string& peer)
{
    auto reply = initialiseScan(body, peer);
    if (!reply)
        return refusal(kInitialiseRoute, peer, reply.error());
    return ExchangeReply{200, std::move(*reply)};
}

ExchangeReply Service::submit(const std::string& pathId, std::string_view body, const std::string& peer)
{
    auto address = submitScan(pathId, body);
    if (!address)
        return refusal("/corvelle/" + pathId + "/submitscan", peer, address.error());
    return ExchangeReply{200, std::move(*address)};
}

// New scans from one address are counted in windows; past the allowance
// the scan is refused until the window ends.
Expected<> Service::checkQuota(const std::string& peer, std::chrono::system_clock::time_point at)
{
    if (options_.scansPerAddress <= 0)
        return {};
    const auto nowSeconds = std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
    auto admission = store_.admitScan(peer, nowSeconds, options_.quotaWindow.count(), options_.scansPerAddress);
    if (!admission)
        return reject(admission.error());
    if (admission->admitted)
        return {};
    return reject(Rejection{429,
                            "more than " + std::to_string(options_.scansPerAddress) +
                                " new scans from this address; retry in " +
                                std::to_string(admission->retryAfterSeconds) + " seconds",
                            admission->retryAfterSeconds});
}

// The initialise exchange: the scan is created with a file id per record,
// and the reply names them (a leading "-" for the files whose facts the
// submit is to send).
Expected<std::string> Service::initialiseScan(std::string_view body, const std::string& peer)
{
    auto md5s = decodeInitialise(body, options_.limits);
    if (!md5s)
        return reject(md5s.error());
    const auto at = now();
    if (auto admitted = checkQuota(peer, at); !admitted)
        return reject(admitted.error());
    auto scanId = newScanId();
    if (!scanId)
        return reject(scanId.error());
    ScanHeader header{*scanId, utcText(at), peer, false};
    auto slots = store_.initialiseScan(header, *md5s);
    if (!slots)
        return reject(slots.error());

    std::vector<std::string> staticIds;
    staticIds.reserve(slots->size());
    std::size_t unknown = 0;
    for (const Slot& slot : *slots) {
        unknown += slot.unknown ? 1 : 0;
        staticIds.push_back((slot.unknown ? "-" : "") + std::to_string(slot.fileId));
    }
    log_("initialised scan " + header.scanId + " for " + header.clientIp + ": " + std::to_string(slots->size()) +
         " records, " + std::to_string(unknown) + " unknown");
    return protocol::formatInitialiseReply(header.scanId, staticIds, header.scanTime, header.clientIp);
}

// The submit exchange: the body must name the scan of its address, which
// must be initialised and not submitted yet; the reply is the report's
// address.
Expected<std::string> Service::submitScan(const std::string& pathId, std::string_view body)
{
    if (!isScanIdSyntax(pathId))
        return reject(noSuchScan());
    auto named = submittedScanId(body);
    if (!named)
        return reject(named.error());
    if (*named != pathId)
        return reject(400, "scan_id differs from the scan in the path");
    auto scan = store_.findScan(pathId);
    if (!scan)
        return reject(scan.error());
    if (scan->header.submitted)
        return reject(alreadySubmitted());

    std::lock_guard lock(decodeMutex_);
    auto submission = decodeSubmit(body, *scan, options_.limits);
    if (!submission)
        return reject(submission.error());
    submission->client = clientIdentity(submission->scanValues, scan->header.clientIp);
    if (auto stored = store_.storeSubmission(*submission, utcText(now())); !stored)
        return reject(stored.error());
    std::string address = options_.publicUrl + "/scan/" + pathId;
    log_("stored scan " + pathId + ": " + std::to_string(submission->processes.size()) + " records, " +
         std::to_string(submission->files.size()) + " new files; report " + address);
    return address;
}

ExchangeReply Service::deleteReport(const std::string& scanId, std::string_view body, const std::string& peer)
{
    auto page = [](int status, std::string_view title, std::string_view text) {
        return ExchangeReply{status, renderMessagePage(title, text), kTextHtml};
    };
    if (!formHas(body, "confirm", "yes"))
        return page(400, "Report not deleted",
                    "Deleting a report needs the confirmation box ticked. Go back to the report to try again.");
    const auto deleted = isScanIdSyntax(scanId) ? store_.deleteReport(scanId) : reject(noSuchReport());
    if (deleted) {
        log_("deleted scan " + scanId + " at the request of " + peer);
        return page(200, "Report deleted",
                    "The report and the facts its scan sent are deleted. Its address now finds nothing.");
    }
    if (deleted.error().status == kNotFound)
        return page(404, "Report not found",
                    "There is no report at this address. Reports are kept under the exact address that the scan "
                    "returned.");
    log_("could not delete scan " + scanId + " for " + peer + ": the store failed");
    return page(503, "Report not deleted", "The report could not be deleted just now. Please try again later.");
}

// The HTTP side: what the server calls once a request's head is in, once
// its body is in, and once a body turned out too large.

HttpReply Service::refused(const HttpRequest& request, const Rejection& r)
{
    log_("refused " + request.method + " " + request.path + " from " + request.client + ": " +
         std::to_string(r.status) + " " + r.reason);
    HttpReply reply = rejectionReply(r);
    addSecurityHeaders(reply);
    return reply;
}

// The scanning machine behind a trusted proxy (see clientAddress).
void Service::identifyClient(HttpRequest& request) const
{
    std::string forwardedFor;
    for (std::string_view value : request.headerValues("X-Forwarded-For")) {
        if (!forwardedFor.empty())
            forwardedFor += ',';
        forwardedFor += value;
    }
    request.client = clientAddress(request.peer, forwardedFor, options_.trustedProxies);
}

// Only the upload addresses take a body, by POST, uncompressed and within
// their cap; a submit address that cannot name a scan takes none.
Expected<> Service::checkUploadHead(const HttpRequest& request) const
{
    const auto target = uploadTarget(request.path);
    if (!target)
        return reject(404, "not found");
    if (request.method != "POST")
        return reject(405, "only POST is accepted here");
    if (request.header("Content-Encoding"))
        return reject(415, "compressed request bodies are not accepted");
    const std::size_t cap = target->kind == UploadTarget::Delete ? kMaxFormBytes : options_.limits.maxBodyBytes;
    if (auto size = checkDeclaredSize(request, cap); !size)
        return size;
    if (target->kind == UploadTarget::Submit && !isScanIdSyntax(target->id))
        return reject(noSuchScan());
    return {};
}

// Runs once a request's head is in. A request that carries a body passes
// the upload checks, or is refused before a byte of the body is read (and
// its connection closed); any other is answered here.
std::optional<HttpReply> Service::onHead(HttpRequest& request)
{
    identifyClient(request);
    if (carriesBody(request.method) || request.announcesBody()) {
        auto checked = checkUploadHead(request);
        if (checked)
            return std::nullopt;
        HttpReply reply = refused(request, checked.error());
        reply.close = true;
        if (checked.error().status == 405)
            reply.headers.emplace_back("Allow", "POST");
        return reply;
    }
    HttpReply reply = routeRead(request);
    addSecurityHeaders(reply);
    return reply;
}

// The pages a request without a body may read.
HttpReply Service::routeRead(const HttpRequest& request)
{
    if (request.method != "GET" && request.method != "HEAD") {
        HttpReply reply = textReply(405, "only GET and HEAD are accepted here\n");
        reply.headers.emplace_back("Allow", "GET, HEAD");
        return reply;
    }
    if (const std::string* page = staticPage(request.path))
        return pageReply(200, *page);
    if (auto target = reportTarget(request.path)) {
        // ?status=<slug> shows the processes of one status; a value that
        // names no status shows them all, as the page without it does.
        auto only = request.queryValue("status").and_then(statusFromSlug);
        return report(target->id, target->format, only);
    }
    return textReply(404, "not found\n");
}

const std::string* Service::staticPage(const std::string& path) const
{
    if (path == "/")
        return &homePage_;
    if (path == "/zorvaneeula/" || path == "/zorvaneeula")
        return &agreementPage_;
    return nullptr;
}

// Runs once the whole body of an upload that passed checkUploadHead is in.
HttpReply Service::onBody(HttpRequest& request)
{
    const auto target = uploadTarget(request.path);
    if (!target)
        return refused(request, Rejection{404, "not found"});
    ExchangeReply answer;
    switch (target->kind) {
    case UploadTarget::Initialise:
        answer = initialise(request.body, request.client);
        break;
    case UploadTarget::Submit:
        answer = submit(target->id, request.body, request.client);
        break;
    case UploadTarget::Delete:
        if (request.body.size() > kMaxFormBytes)
            return refused(request, tooLarge(kMaxFormBytes));
        answer = deleteReport(target->id, request.body, request.client);
        break;
    }
    HttpReply reply = textReply(answer.status, std::move(answer.text));
    reply.contentType = answer.contentType;
    if (answer.retryAfterSeconds > 0)
        reply.headers.emplace_back("Retry-After", std::to_string(answer.retryAfterSeconds));
    addSecurityHeaders(reply);
    return reply;
}

HttpReply Service::onBodyTooLarge(const HttpRequest& request)
{
    return refused(request, tooLarge(options_.limits.maxBodyBytes));
}

// A render permit: at most maxRenders reports are written at once, as each
// holds a page and a worker while it runs.
Expected<> Service::takeRenderPermit()
{
    unsigned active = renders_.load();
    do {
        if (active >= options_.maxRenders)
            return reject(Rejection{503, "too many reports are being written; try again in a few seconds", 5});
    } while (!renders_.compare_exchange_weak(active, active + 1));
    return {};
}

// A report page, or its JSON or CSV export, written as it is sent, page by
// page from the store.
HttpReply Service::report(const std::string& id, ReportFormat format, std::optional<FileStatus> only)
{
    auto outline = isScanIdSyntax(id) ? store_.loadScanOutline(id) : reject(noSuchReport());
    if (!outline && outline.error().status == kNotFound)
        return pageReply(404, notFoundPage_);
    if (!outline)
        return rejectionReply(outline.error());
    if (auto permit = takeRenderPermit(); !permit)
        return rejectionReply(permit.error());
    HttpReply reply;
    reply.stream = std::make_unique<ReportStream>(openReport(store_, std::move(*outline), format, {}, only),
                                                renders_);
    describeReport(reply, format, id);
    return reply;
}

}  // namespace zorvane::service
