// Service ingest: complete scans (initialise, then submit; 200 records each)
// from concurrent loopback HTTP clients, against the same exchanges handed
// to the service's handlers in-process without HTTP, in the same run.
//
// Every client thread builds its bodies with the protocol encoders exactly
// as zorvane.exe does (digests uncompressed, the submit fields at zlib level
// 9, the static ids and unknown flags taken from the initialise reply), in
// both modes, so the two rates differ by HTTP alone. Records come from a
// pool shared by all scans (as the operating system's files are shared by
// real machines) plus a few files new to every scan and a few without a
// digest. A warm-up fills the store with the pool first.
//
// By default the benchmark runs `--instances N` Service objects in this
// process on loopback ports, each over its own store opened from `--db`
// (a fresh SQLite file under the build tree unless named). With `--url`
// (repeatable) it drives already running services instead; the in-process
// baseline then still opens `--db`, which should be the store those services
// use. HTTP clients spread their scans over the addresses round-robin.
//
// Also in-process, in the same rounds: the same scans over a store that keeps
// no ranking counts, against the ranked store (goal at least 0.8).
//
// The last lines: the ratio HTTP at the highest client count / in-process
// (goal at least 0.8) and p99 / median scan latency there (goal at most 5).

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/records.h"
#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "protocol/form_fields.h"
#include "protocol/initialise_reply.h"
#include "protocol/request_encoder.h"
#include "service/service.h"
#include "service/store.h"

namespace {

using namespace zorvane;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kRecordsPerScan = 200;
constexpr std::size_t kPoolFiles = 1200;       // files every machine may have
constexpr std::size_t kNewPerScan = 12;        // files no other scan has
constexpr std::size_t kUndigestedPerScan = 3;  // unreadable files, sent with the placeholder digest
constexpr std::size_t kTemplates = 24;         // distinct machine compositions
constexpr std::size_t kMachines = 1000;        // distinct ClientIds
constexpr const char* kInitialisePath = "/corvelle/initialisescan";

struct Options {
    std::string db;
    std::size_t instances = 1;
    std::vector<std::string> urls;
    std::size_t scans = 120;   // per measured pass
    std::size_t warmup = 100;  // scans before the first pass
    std::size_t rounds = 3;    // every pass runs this often; medians are kept
    std::vector<std::size_t> clients{1, 2, 4, 8};
};

std::string md5Text(std::uint32_t kind, std::uint64_t number)
{
    char text[33];
    std::snprintf(text, sizeof text, "%08x%024llx", static_cast<unsigned>(kind),
                  static_cast<unsigned long long>(number) * 0x9E3779B97F4A7C15ull);
    return text;
}

// One machine's records without its per-scan files' digests; every scan
// starts from a copy.
struct ScanTemplate {
    std::vector<ProcessRecord> records;
    std::vector<std::size_t> newFiles;  // records that get a digest no other scan has
};

ScanTemplate makeTemplate(std::uint32_t seed)
{
    bench::Random random(seed * 2654435761u + 1);
    ScanTemplate scan;
    std::vector<bool> taken(kPoolFiles, false);
    const std::size_t pooled = kRecordsPerScan - kNewPerScan - kUndigestedPerScan;
    while (scan.records.size() < pooled) {
        std::size_t file = random.next() % kPoolFiles;
        if (taken[file])
            continue;
        taken[file] = true;
        bench::Random facts(static_cast<std::uint32_t>(file) * 40503u + 7);
        ProcessRecord record = bench::makeRecord(facts, file);
        record[keys::kHashMd5] = widenLatin1(md5Text(0xC0DE0000u, file));
        scan.records.push_back(std::move(record));
    }
    for (std::size_t k = 0; k < kNewPerScan + kUndigestedPerScan; ++k) {
        const std::size_t index = kPoolFiles + seed * 100 + k;
        ProcessRecord record = bench::makeRecord(random, index);
        if (k < kNewPerScan) {
            scan.newFiles.push_back(scan.records.size());
        } else {
            ProcessRecord undigested;
            for (const auto& [key, value] : record) {
                if (key != keys::kHashMd5 && key != keys::kHashSha1)
                    undigested[key] = value;
            }
            record = std::move(undigested);
        }
        scan.records.push_back(std::move(record));
    }
    for (std::size_t k = 0; k < scan.records.size(); ++k) {
        if (!scan.records[k].contains(keys::kWmiProcessId))
            continue;
        std::u16string modules;
        const std::size_t count = 20 + random.next() % 61;
        for (std::size_t m = 0; m < count; ++m) {
            if (!modules.empty())
                modules.push_back(u',');
            modules += scan.records[random.next() % scan.records.size()][keys::kPathPathFull];
        }
        scan.records[k][keys::kModuleList] = std::move(modules);
    }
    return scan;
}

struct Reply {
    int status = 0;
    std::string text;
};

// One scan's connection to a service: both requests of a scan go over it.
class Session {
public:
    virtual ~Session() = default;
    virtual Reply post(const std::string& path, const std::string& body) = 0;
};

class Target {
public:
    virtual ~Target() = default;
    virtual std::unique_ptr<Session> open(std::size_t scanNumber) = 0;
};

class InProcessSession final : public Session {
public:
    explicit InProcessSession(service::Service& service) : service_(service) {}
    Reply post(const std::string& path, const std::string& body) override
    {
        service::ExchangeReply reply;
        if (path == kInitialisePath) {
            reply = service_.initialise(body, "127.0.0.1");
        } else {
            const std::size_t start = std::string_view("/corvelle/").size();
            const std::size_t end = path.find('/', start);
            reply = service_.submit(path.substr(start, end - start), body, "127.0.0.1");
        }
        return Reply{reply.status, std::move(reply.text)};
    }

private:
    service::Service& service_;
};

class InProcessTarget final : public Target {
public:
    explicit InProcessTarget(service::Service& service) : service_(service) {}
    std::unique_ptr<Session> open(std::size_t) override { return std::make_unique<InProcessSession>(service_); }

private:
    service::Service& service_;
};

class HttpSession final : public Session {
public:
    explicit HttpSession(const std::string& url) : client_(url)
    {
        client_.set_keep_alive(true);
        // The request goes out as head then body; without this the body
        // would wait for the service's delayed acknowledgement.
        client_.set_tcp_nodelay(true);
        client_.set_read_timeout(60, 0);
        client_.set_write_timeout(60, 0);
    }
    Reply post(const std::string& path, const std::string& body) override
    {
        auto res = client_.Post(path.c_str(), body, "application/x-www-form-urlencoded");
        if (!res)
            return Reply{0, "no reply: " + httplib::to_string(res.error())};
        return Reply{res->status, res->body};
    }

private:
    httplib::Client client_;
};

class HttpTarget final : public Target {
public:
    explicit HttpTarget(std::vector<std::string> urls) : urls_(std::move(urls)) {}
    std::unique_ptr<Session> open(std::size_t scanNumber) override
    {
        return std::make_unique<HttpSession>(urls_[scanNumber % urls_.size()]);
    }

private:
    std::vector<std::string> urls_;
};

class Workload {
public:
    Workload()
    {
        for (std::uint32_t t = 0; t < kTemplates; ++t)
            templates_.push_back(makeTemplate(t));
    }

    // Both exchanges of one scan as the client makes them; false (with the
    // reason printed) when the service refused or failed either.
    bool runScan(Target& target, std::size_t scanNumber)
    {
        const ScanTemplate& shape = templates_[scanNumber % templates_.size()];
        std::vector<ProcessRecord> records = shape.records;
        const std::uint64_t unique = nextUnique_.fetch_add(1);
        for (std::size_t k = 0; k < shape.newFiles.size(); ++k)
            records[shape.newFiles[k]][keys::kHashMd5] = widenLatin1(md5Text(0xF11E0000u + k, unique));
        ProcessRecord scanRecord;
        scanRecord[keys::kCaption] = u"Microsoft Windows XP Professional";
        scanRecord[keys::kVersion] = u"5.1.2600";
        scanRecord[keys::kCSDVersion] = u"Service Pack 3";
        scanRecord[keys::kProcessor] = u"x86 Family 6 Model 15 Stepping 13";
        // Machines scan again and again: each scan after a machine's first
        // is compared with its previous one.
        scanRecord[keys::kClientId] = widenLatin1(md5Text(0xC11E0000u, unique % kMachines));

        auto session = target.open(scanNumber);
        protocol::FormFields fields;
        protocol::buildInitialiseFields(records, fields);
        if (!protocol::encodeFields(fields, false))
            return fail("the initialise fields could not be encoded");
        Reply reply = session->post(kInitialisePath, protocol::buildBody(fields));
        if (reply.status != 200)
            return fail("initialise: " + std::to_string(reply.status) + " " + reply.text);
        if (!protocol::applyInitialiseReply(records, scanRecord, widenLatin1(reply.text)))
            return fail("initialise: unusable reply " + reply.text);

        protocol::RequestEncoder encoder;
        fields = protocol::buildSubmitFields(encoder, scanRecord, records);
        if (!protocol::encodeFields(fields, true))
            return fail("the submit fields could not be encoded");
        const std::string path = "/corvelle/" + toUtf8(scanRecord[keys::kScanId]) + "/submitscan";
        reply = session->post(path, protocol::buildBody(fields));
        if (reply.status != 200)
            return fail("submit: " + std::to_string(reply.status) + " " + reply.text);
        return true;
    }

private:
    bool fail(const std::string& why)
    {
        std::lock_guard lock(printMutex_);
        std::fprintf(stderr, "ingest_bench: %s\n", why.c_str());
        return false;
    }

    std::vector<ScanTemplate> templates_;
    std::atomic<std::uint64_t> nextUnique_{0};
    std::mutex printMutex_;
};

double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct PassResult {
    double scansPerSecond = 0;
    double cpuPerScan = 0;  // seconds of this process's CPU, clients included
    std::vector<double> latencies;  // seconds per scan, both exchanges
    bool ok = true;
};

PassResult runPass(Workload& workload, Target& target, std::size_t clients, std::size_t scans)
{
    std::atomic<std::size_t> next{0};
    std::atomic<bool> ok{true};
    std::vector<std::vector<double>> latencies(clients);
    const auto start = Clock::now();
    const double cpuStart = processCpuSeconds();
    std::vector<std::thread> threads;
    for (std::size_t c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (std::size_t n; ok && (n = next.fetch_add(1)) < scans;) {
                const auto begun = Clock::now();
                if (!workload.runScan(target, n))
                    ok = false;
                latencies[c].push_back(std::chrono::duration<double>(Clock::now() - begun).count());
            }
        });
    }
    for (auto& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    PassResult result;
    result.ok = ok;
    result.scansPerSecond = static_cast<double>(scans) / seconds;
    result.cpuPerScan = (processCpuSeconds() - cpuStart) / static_cast<double>(scans);
    if (std::getenv("ZORVANE_BENCH_VERBOSE"))
        std::printf("  pass: %zu client(s), %.1f scans/s, %.1f ms CPU per scan\n", clients, result.scansPerSecond,
                    result.cpuPerScan * 1e3);
    for (auto& l : latencies)
        result.latencies.insert(result.latencies.end(), l.begin(), l.end());
    std::sort(result.latencies.begin(), result.latencies.end());
    return result;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double quantile(const std::vector<double>& sorted, double q)
{
    if (sorted.empty())
        return 0.0;
    const std::size_t index = std::min(sorted.size() - 1, static_cast<std::size_t>(q * sorted.size()));
    return sorted[index];
}

// Bytes of a SQLite database with its write-ahead log; empty for a location
// that is not a file.
std::optional<std::uintmax_t> databaseBytes(const std::string& location)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(location, ec))
        return std::nullopt;
    std::uintmax_t total = std::filesystem::file_size(location, ec);
    for (const char* suffix : {"-wal", "-shm"}) {
        const auto size = std::filesystem::file_size(location + suffix, ec);
        if (!ec)
            total += size;
    }
    return total;
}

bool parseList(const char* text, std::vector<std::size_t>& out)
{
    out.clear();
    std::string list = text;
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const long value = std::strtol(list.substr(start, comma - start).c_str(), nullptr, 10);
        if (value <= 0)
            return false;
        out.push_back(static_cast<std::size_t>(value));
        start = comma + 1;
    }
    std::sort(out.begin(), out.end());
    return !out.empty();
}

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto count = [&](std::size_t& out) {
            const long n = value ? std::strtol(value, nullptr, 10) : 0;
            out = static_cast<std::size_t>(n);
            ++i;
            return n > 0;
        };
        bool good = value != nullptr;
        if (arg == "--db" && value) {
            options.db = value;
            ++i;
        } else if (arg == "--url" && value) {
            options.urls.emplace_back(value);
            ++i;
        } else if (arg == "--instances") {
            good = count(options.instances);
        } else if (arg == "--scans") {
            good = count(options.scans);
        } else if (arg == "--warmup") {
            good = count(options.warmup);
        } else if (arg == "--rounds") {
            good = count(options.rounds);
        } else if (arg == "--clients" && value) {
            good = parseList(value, options.clients);
            ++i;
        } else {
            good = false;
        }
        if (!good) {
            std::fprintf(stderr,
                         "usage: ingest_bench [--db LOCATION] [--instances N | --url http://HOST:PORT ...]\n"
                         "                    [--scans N] [--warmup N] [--rounds N] [--clients 1,2,4,8]\n");
            return false;
        }
    }
    return true;
}

// A Service on a loopback port over its own store, serving on a thread.
struct Instance {
    std::unique_ptr<service::ScanStore> store;
    std::unique_ptr<service::Service> service;
    std::thread thread;

    ~Instance()
    {
        if (service)
            service->stop();
        if (thread.joinable())
            thread.join();
    }
};

void discardLog(std::string_view) {}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;
    bool freshDatabase = false;
    if (options.db.empty()) {
        options.db = ZORVANE_BENCH_DB;
        freshDatabase = true;
    }
    if (freshDatabase) {
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(options.db + suffix);
    }

    // The in-process baseline's own service, never bound to a port.
    auto baselineStore = service::openScanStore(options.db);
    if (!baselineStore) {
        std::fprintf(stderr, "ingest_bench: %s\n", baselineStore.error().reason.c_str());
        return 1;
    }
    // Every client of the benchmark starts its scans from loopback.
    service::ServiceOptions serviceOptions;
    serviceOptions.scansPerAddress = 0;
    service::Service baselineService(**baselineStore, serviceOptions, discardLog);
    InProcessTarget inProcess(baselineService);
    // The same, over a store that keeps no ranking counts (how many machines
    // saw each file, the change since a machine's last scan).
    service::StoreOptions unrankedOptions;
    unrankedOptions.rank = false;
    auto unrankedStore = service::openScanStore(options.db, unrankedOptions);
    if (!unrankedStore) {
        std::fprintf(stderr, "ingest_bench: %s\n", unrankedStore.error().reason.c_str());
        return 1;
    }
    service::Service unrankedService(**unrankedStore, serviceOptions, discardLog);
    InProcessTarget unranked(unrankedService);

    std::vector<std::unique_ptr<Instance>> instances;
    std::vector<std::string> urls = options.urls;
    if (urls.empty()) {
        for (std::size_t k = 0; k < options.instances; ++k) {
            auto instance = std::make_unique<Instance>();
            auto store = service::openScanStore(options.db);
            if (!store) {
                std::fprintf(stderr, "ingest_bench: %s\n", store.error().reason.c_str());
                return 1;
            }
            instance->store = std::move(*store);
            instance->service = std::make_unique<service::Service>(*instance->store, serviceOptions, discardLog);
            if (auto bound = instance->service->bind("127.0.0.1", 0); !bound) {
                std::fprintf(stderr, "ingest_bench: %s\n", bound.error().reason.c_str());
                return 1;
            }
            urls.push_back("http://127.0.0.1:" + std::to_string(instance->service->port()));
            instance->thread = std::thread([s = instance->service.get()] { s->run(); });
            instances.push_back(std::move(instance));
        }
    }
    HttpTarget http(urls);

    Workload workload;
    std::printf("store: %s; HTTP: %zu address%s (%s)\n", options.db.c_str(), urls.size(),
                urls.size() == 1 ? "" : "es", options.urls.empty() ? "Service objects in this process" : "--url");
    std::printf("scans: %zu records each, %zu shared files in the pool, %zu new and %zu without a digest per scan\n",
                kRecordsPerScan, kPoolFiles, kNewPerScan, kUndigestedPerScan);

    if (!runPass(workload, inProcess, 2, options.warmup).ok)
        return 1;

    const std::size_t most = options.clients.back();
    std::vector<double> inProcessRates;
    std::vector<double> rankedRates, unrankedRates;  // one thread each
    std::vector<double> inProcessCpu, httpCpu;  // per scan; the load of other processes does not move these
    std::vector<std::vector<double>> httpRates(options.clients.size());
    std::vector<double> latencies;  // at the highest client count, all rounds
    std::size_t measuredScans = 0;
    const auto sizeBefore = databaseBytes(options.db);
    for (std::size_t round = 0; round < options.rounds; ++round) {
        // In-process with one thread and with the most clients; the better is the baseline.
        PassResult one = runPass(workload, inProcess, 1, options.scans);
        PassResult plain = runPass(workload, unranked, 1, options.scans);
        PassResult many = runPass(workload, inProcess, most, options.scans);
        if (!one.ok || !plain.ok || !many.ok)
            return 1;
        rankedRates.push_back(one.scansPerSecond);
        unrankedRates.push_back(plain.scansPerSecond);
        inProcessRates.push_back(std::max(one.scansPerSecond, many.scansPerSecond));
        inProcessCpu.push_back(one.cpuPerScan);
        measuredScans += 3 * options.scans;
        for (std::size_t c = 0; c < options.clients.size(); ++c) {
            PassResult pass = runPass(workload, http, options.clients[c], options.scans);
            if (!pass.ok)
                return 1;
            httpRates[c].push_back(pass.scansPerSecond);
            if (options.clients[c] == most)
                httpCpu.push_back(pass.cpuPerScan);
            if (options.clients[c] == most)
                latencies.insert(latencies.end(), pass.latencies.begin(), pass.latencies.end());
            measuredScans += options.scans;
        }
    }
    const auto sizeAfter = databaseBytes(options.db);

    const double baseline = median(inProcessRates);
    std::printf("in-process decode and store: %.1f scans/s\n", baseline);
    for (std::size_t c = 0; c < options.clients.size(); ++c)
        std::printf("HTTP, %zu client%s: %.1f scans/s\n", options.clients[c], options.clients[c] == 1 ? "" : "s",
                    median(httpRates[c]));
    if (options.urls.empty())
        std::printf("CPU per scan, clients' encoding included: in-process %.1f ms, HTTP at %zu clients %.1f ms\n",
                    median(inProcessCpu) * 1e3, most, median(httpCpu) * 1e3);
    std::sort(latencies.begin(), latencies.end());
    const double p50 = quantile(latencies, 0.5);
    const double p99 = quantile(latencies, 0.99);
    std::printf("scan latency at %zu clients: median %.1f ms, p99 %.1f ms\n", most, p50 * 1e3, p99 * 1e3);
    if (sizeBefore && sizeAfter)
        std::printf("database growth: %.1f MiB per 1000 scans\n",
                    (static_cast<double>(*sizeAfter) - static_cast<double>(*sizeBefore)) / measuredScans * 1000.0 /
                        (1024.0 * 1024.0));
    else
        std::printf("database growth: not measured (%s is not a file)\n", options.db.c_str());
    std::printf("ranking: in-process ingest with the ranking counts %.1f scans/s, without %.1f: ratio %.2f "
                "(goal >= 0.8)\n",
                median(rankedRates), median(unrankedRates), median(rankedRates) / median(unrankedRates));
    std::printf("ratio p99/median latency at %zu clients: %.2f (goal <= 5)\n", most, p99 / p50);
    std::printf("ratio HTTP(%zu)/in-process: %.2f (goal >= 0.8)\n", most, median(httpRates.back()) / baseline);

    instances.clear();
    if (freshDatabase) {
        baselineStore->reset();
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(options.db + suffix);
    }
    return 0;
}
