// What ranking a report costs, on SQLite, each figure against a baseline
// measured in the same run:
// - ingest: scans stored with the machine counts and the change since each
//   machine's last scan, against the same scans stored without them (two
//   stores filled in turns of 250 scans, so both see the same load);
// - a 1,000-record report page rendered with prevalence, set matches and
//   the change since the machine's last scan, against the same page from
//   the store that keeps none of them;
// - the import rate of the known-file set the ranked store matches
//   against (--set-rows, 1,000,000 by default), in rows per second.
// The stores hold --scans scans (10,000 by default) of --machines machines.
//
// The last line: report render ratio (goal at most 1.2) and ingest ratio
// (goal at least 0.8).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_input.h"
#include "service/report.h"
#include "service/store.h"

namespace {

using namespace zorvane;
using Clock = std::chrono::steady_clock;

struct Options {
    std::size_t scans = 10000;
    std::size_t machines = 2000;
    std::size_t recordsPerScan = 100;
    std::size_t poolFiles = 20000;
    std::size_t reportRecords = 1000;
    std::size_t renders = 15;
    std::size_t setRows = 1000000;
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string hex(std::uint64_t value, std::size_t digits)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text(digits, '0');
    for (std::size_t k = 0; k < digits; ++k) {
        text[digits - 1 - k] = kHex[value & 0xF];
        value = value >> 4 | value << 60;  // rotate, so that long digests vary throughout
    }
    return text;
}

// The digests of pool file `k` (shared by machines) or of a file of one scan.
std::string md5Of(std::uint64_t k) { return hex(k * 0x9E3779B97F4A7C15ull + 1, 32); }
std::string sha1Of(std::uint64_t k) { return hex(k * 0xC2B2AE3D27D4EB4Full + 7, 40); }

// One scan's files: mostly from the pool, common files far more often than
// rare ones, plus a few of its own and one without a digest.
std::vector<std::uint64_t> filesOfScan(bench::XorShift& random, const Options& options, std::size_t count,
                                       std::uint64_t ownBase)
{
    std::vector<std::uint64_t> files;
    for (std::size_t k = 0; k + 3 < count; ++k) {
        const double u = (random.next() % 100000) / 100000.0;
        files.push_back(static_cast<std::uint64_t>(u * u * u * static_cast<double>(options.poolFiles)));
    }
    files.push_back(ownBase);
    files.push_back(ownBase + 1);
    files.push_back(~std::uint64_t{0});  // no digest
    return files;
}

struct Machine {
    std::string client;
    std::string scanId;
};

std::string timeAt(std::size_t second)
{
    char text[32];
    std::snprintf(text, sizeof text, "2026-12-%02zu %02zu:%02zu:%02zu", 1 + second / 86400 % 28, second / 3600 % 24,
                  second / 60 % 60, second % 60);
    return text;
}

// Scan `n` of the run, the scans spread evenly over 30 days, so that a
// machine's scans are days apart.
std::string timeOfScan(std::size_t n, std::size_t scans)
{
    return timeAt(n * (30 * 86400 / std::max<std::size_t>(1, scans + 2)));
}

// Initialises and submits one scan of `files` from `client`.
bool storeScan(service::ScanStore& store, const std::string& scanId, const std::string& client,
               const std::vector<std::uint64_t>& files, const std::string& at)
{
    std::vector<std::string> md5s;
    for (std::uint64_t f : files)
        md5s.push_back(f == ~std::uint64_t{0} ? std::string() : md5Of(f));
    auto slots = store.initialiseScan(service::ScanHeader{scanId, at, "127.0.0.1", false}, md5s);
    if (!slots) {
        std::fprintf(stderr, "ranking_bench: initialise: %s\n", slots.error().reason.c_str());
        return false;
    }
    service::Submission submission;
    submission.scanId = scanId;
    submission.client = client;
    submission.scanValues = {{"ClientId", client.substr(3)}, {"Caption", "Microsoft Windows XP Professional"}};
    for (std::size_t k = 0; k < files.size(); ++k) {
        service::SubmittedProcess p;
        p.values = {{"path.path", "C:\\Program Files\\Vendor " + std::to_string(files[k] % 40)},
                    {"path.file", "file" + std::to_string(files[k] % 100000) + ".dll"}};
        if (k % 12 == 11) {
            p.values["wmi.ProcessId"] = std::to_string(1000 + k);
            p.values["net.NetworkPorts"] = std::to_string(1024 + files[k] % 5000) + "|DEFAULT";
            for (std::size_t m = k - 11; m < k; ++m)
                p.modules.push_back((*slots)[m].fileId);
        }
        submission.processes.push_back(std::move(p));
    }
    std::set<std::int64_t> sent;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const service::Slot& slot = (*slots)[k];
        if (!slot.unknown || !sent.insert(slot.fileId).second)
            continue;
        submission.files.push_back({slot.fileId,
                                    {{"hash.md5", slot.md5},
                                     {"hash.sha1", slot.md5.empty() ? "" : sha1Of(files[k])},
                                     {"handle.filesize", std::to_string(4096 + files[k] % 100000)},
                                     {"ver.CompanyName", "Vendor " + std::to_string(files[k] % 40)}}});
    }
    auto stored = store.storeSubmission(submission, at);
    if (!stored)
        std::fprintf(stderr, "ranking_bench: submit: %s\n", stored.error().reason.c_str());
    return static_cast<bool>(stored);
}

double renderSeconds(service::ScanStore& store, const std::string& scanId)
{
    auto outline = store.loadScanOutline(scanId);
    if (!outline)
        return -1;
    const auto start = Clock::now();
    auto writer = service::openReport(store, std::move(*outline), service::ReportFormat::Page);
    std::string out;
    std::size_t bytes = 0;
    while (writer->next(out)) {
        bytes += out.size();
        out.clear();
    }
    if (writer->failed() || bytes == 0)
        return -1;
    return secondsSince(start);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::size_t value = std::strtoull(argv[i + 1], nullptr, 10);
        if (name == "--scans")
            options.scans = value;
        else if (name == "--machines")
            options.machines = std::max<std::size_t>(1, value);
        else if (name == "--set-rows")
            options.setRows = value;
        else if (name == "--renders")
            options.renders = std::max<std::size_t>(1, value);
        else {
            std::fprintf(stderr, "usage: ranking_bench [--scans N] [--machines N] [--set-rows N] [--renders N]\n");
            return 2;
        }
    }

    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("ranking_bench." + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    struct Cleanup {
        std::filesystem::path dir;
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{dir};

    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    service::StoreOptions ranking;
    service::StoreOptions plain;
    ranking.log = plain.log = [](std::string_view line) { std::fprintf(stderr, "%.*s\n", int(line.size()), line.data()); };
    plain.rank = false;
    auto ranked = service::openScanStore((dir / "ranked.sqlite").string(), ranking);
    auto unranked = service::openScanStore((dir / "plain.sqlite").string(), plain);
    if (!ranked || !unranked) {
        std::fprintf(stderr, "ranking_bench: cannot open the stores\n");
        return 1;
    }
    service::ScanStore* stores[] = {ranked->get(), unranked->get()};

    // Ingest, in turns, the same scans into both stores.
    std::printf("ingest: %zu scans of %zu records from %zu machines into each store\n", options.scans,
                options.recordsPerScan, options.machines);
    double seconds[2] = {0, 0};
    constexpr std::size_t kTurn = 250;
    for (std::size_t first = 0; first < options.scans; first += kTurn) {
        for (int which = 0; which < 2; ++which) {
            bench::XorShift random(static_cast<std::uint32_t>(first + 1));
            const auto start = Clock::now();
            for (std::size_t n = first; n < std::min(options.scans, first + kTurn); ++n) {
                const std::string client = "id:M" + std::to_string(n % options.machines);
                const std::string scanId = "s" + hex(n, 21);
                auto files = filesOfScan(random, options, options.recordsPerScan, (1ull << 40) + 2 * n);
                if (!storeScan(*stores[which], scanId, client, files, timeOfScan(n, options.scans))) {
                    std::fprintf(stderr, "ranking_bench: storing scan %zu failed\n", n);
                    return 1;
                }
            }
            seconds[which] += secondsSince(start);
        }
    }
    const double ingestRatio = seconds[1] / seconds[0];
    std::printf("ingest: %.0f scans/s ranked, %.0f scans/s without ranking: ratio %.2f\n",
                static_cast<double>(options.scans) / seconds[0], static_cast<double>(options.scans) / seconds[1],
                ingestRatio);

    // A known-good set of --set-rows entries into the ranked store, one in
    // ten naming a file of the pool by its SHA-1.
    {
        auto import = (*ranked)->beginSetImport("bench-good", false);
        if (!import) {
            std::fprintf(stderr, "ranking_bench: %s\n", import.error().reason.c_str());
            return 1;
        }
        const auto start = Clock::now();
        std::vector<service::SetEntry> batch;
        for (std::size_t k = 0; k < options.setRows; ++k) {
            const std::uint64_t id = k % 10 == 0 ? k / 10 % options.poolFiles : (1ull << 45) + k;
            batch.push_back({sha1Of(id), md5Of(id), "file" + std::to_string(id % 100000) + ".dll", "Bench product"});
            if (batch.size() == 20000 || k + 1 == options.setRows) {
                if (auto added = (*import)->add(batch); !added) {
                    std::fprintf(stderr, "ranking_bench: %s\n", added.error().reason.c_str());
                    return 1;
                }
                batch.clear();
            }
        }
        if (auto committed = (*import)->commit(); !committed) {
            std::fprintf(stderr, "ranking_bench: %s\n", committed.error().reason.c_str());
            return 1;
        }
        const double took = secondsSince(start);
        std::printf("set import: %zu rows in %.1f s, %.0f rows/s\n", options.setRows, took,
                    static_cast<double>(options.setRows) / took);
    }

    // One machine's two scans of 1,000 records; the second has some files
    // of its own and lost some of the first's.
    bench::XorShift random(7);
    auto before = filesOfScan(random, options, options.reportRecords, 1ull << 50);
    auto after = before;
    for (std::size_t k = 0; k < 40; ++k)
        after[k * 20] = (1ull << 50) + 100 + k;
    for (service::ScanStore* store : stores) {
        if (!storeScan(*store, "report-before-xxxxxxxxx", "id:REPORT", before, timeOfScan(options.scans, options.scans)) ||
            !storeScan(*store, "report-after-xxxxxxxxxx", "id:REPORT", after, timeOfScan(options.scans + 1, options.scans))) {
            std::fprintf(stderr, "ranking_bench: storing the report's scans failed\n");
            return 1;
        }
    }

    std::vector<double> times[2];
    for (std::size_t k = 0; k < options.renders; ++k) {
        for (int which = 0; which < 2; ++which) {
            const double t = renderSeconds(*stores[which], "report-after-xxxxxxxxxx");
            if (t < 0) {
                std::fprintf(stderr, "ranking_bench: the report did not render\n");
                return 1;
            }
            times[which].push_back(t);
        }
    }
    const double renderRatio = median(times[0]) / median(times[1]);
    std::printf("report of %zu records: %.1f ms ranked, %.1f ms without ranking (median of %zu)\n",
                options.reportRecords, median(times[0]) * 1e3, median(times[1]) * 1e3, options.renders);
    std::printf("ranking: report render ratio %.2f (goal <= 1.2), ingest ratio %.2f (goal >= 0.8)\n", renderRatio,
                ingestRatio);
    return 0;
}
