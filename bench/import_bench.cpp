// Importing a known-file set: a generated RDS text release (NSRLFile.txt
// with --rows rows, NSRLProd.txt beside it) imported into a fresh SQLite
// store, against reading and parsing the same file alone (the baseline,
// measured in the same run). Then what the set costs a report: a scan of
// 1,000 files (half of them in the set) read page by page as the report
// does, before the import and after it.
//
// The last lines: the import rate and its ratio to parsing alone, the
// process's peak resident set, and the report's read time with the set
// against without it (goal at most 1.2).

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "service/hash_sets.h"
#include "service/store.h"

namespace {

using namespace zorvane;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kProducts = 5000;
constexpr std::size_t kReportFiles = 1000;
constexpr int kReportReads = 31;

std::uint64_t mix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// `digits` hex digits drawn from `seed`.
std::string hexOf(std::uint64_t seed, std::size_t digits)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint64_t word = mix(seed); text.size() < digits; word = mix(word)) {
        for (int k = 0; k < 16 && text.size() < digits; ++k)
            text += kHex[(word >> (4 * k)) & 15];
    }
    return text;
}

std::string sha1Of(std::uint64_t row) { return hexOf(row * 2, 40); }
std::string md5Of(std::uint64_t row) { return hexOf(row * 2 + 1, 32); }

void generate(const std::filesystem::path& dir, std::uint64_t rows)
{
    std::ofstream files(dir / "NSRLFile.txt", std::ios::binary);
    files << "\"SHA-1\",\"MD5\",\"CRC32\",\"FileName\",\"FileSize\",\"ProductCode\",\"OpSystemCode\",\"SpecialCode\"\r\n";
    for (std::uint64_t row = 0; row < rows; ++row) {
        files << '"' << sha1Of(row) << "\",\"" << md5Of(row) << "\",\"" << hexOf(row, 8) << "\",\"file" << row
              << (row % 7 == 0 ? ", \"\"quoted\"\".dll\"," : ".dll\",") << (row % 100000) << ','
              << (row % kProducts) << ",\"358\",\"\"\r\n";
    }
    std::ofstream products(dir / "NSRLProd.txt", std::ios::binary);
    products << "\"ProductCode\",\"ProductName\",\"ProductVersion\",\"OpSystemCode\",\"MfgCode\",\"Language\","
                "\"ApplicationType\"\r\n";
    for (std::size_t code = 0; code < kProducts; ++code)
        products << code << ",\"Product " << code << "\",\"1." << code % 10 << "\",\"358\",\"1\",\"English\","
                 << "\"Utility\"\r\n";
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Stores one scan of kReportFiles files, the even ones from the set.
bool storeScan(service::ScanStore& store, std::uint64_t setRows)
{
    std::vector<std::string> md5s, sha1s;
    for (std::size_t k = 0; k < kReportFiles; ++k) {
        const std::uint64_t row = k % 2 == 0 ? (k * 7919) % setRows : setRows + k;
        std::string md5 = md5Of(row), sha1 = sha1Of(row);
        std::transform(md5.begin(), md5.end(), md5.begin(), [](unsigned char c) { return std::tolower(c); });
        md5s.push_back(md5);
        sha1s.push_back(sha1);
    }
    const std::string scanId = "importbenchxxxxxxxxxxx";
    auto slots = store.initialiseScan({scanId, "2026-12-08 10:00:00", "127.0.0.1", false}, md5s);
    if (!slots)
        return false;
    service::Submission submission;
    submission.scanId = scanId;
    submission.client = "id:bench";
    for (std::size_t k = 0; k < slots->size(); ++k) {
        submission.processes.push_back({{{"path.file", "file" + std::to_string(k) + ".dll"}}, {}});
        submission.files.push_back({(*slots)[k].fileId, {{"hash.sha1", sha1s[k]}, {"handle.filesize", "4096"}}});
    }
    return static_cast<bool>(store.storeSubmission(submission, "2026-12-08 10:00:01"));
}

// The median time of reading the scan page by page, as a report does.
double reportSeconds(service::ScanStore& store, std::size_t& matched)
{
    std::vector<double> times;
    for (int round = 0; round < kReportReads; ++round) {
        const auto start = Clock::now();
        matched = 0;
        service::PageRequest request;
        for (;;) {
            auto page = store.loadScanPage("importbenchxxxxxxxxxxx", request);
            if (!page || page->processes.empty())
                break;
            for (const auto& [id, file] : page->files)
                matched += file.sets.empty() ? 0 : 1;
            request.first += page->processes.size();
        }
        times.push_back(secondsSince(start));
    }
    std::nth_element(times.begin(), times.begin() + kReportReads / 2, times.end());
    return times[kReportReads / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint64_t rows = 1000000;
    for (int k = 1; k + 1 < argc; k += 2) {
        if (std::string(argv[k]) == "--rows")
            rows = std::strtoull(argv[k + 1], nullptr, 10);
    }
    const auto dir = std::filesystem::temp_directory_path() / ("zorvane-import-bench-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    struct Cleanup {
        std::filesystem::path dir;
        ~Cleanup()
        {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    } cleanup{dir};

    generate(dir, rows);
    const std::string files = (dir / "NSRLFile.txt").string();
    std::printf("generated %" PRIu64 " rows: %.0f MiB\n", rows,
                static_cast<double>(std::filesystem::file_size(files)) / (1 << 20));

    auto start = Clock::now();
    auto parsed = service::openHashSet(files);
    if (!parsed) {
        std::fprintf(stderr, "import_bench: %s\n", parsed.error().reason.c_str());
        return 1;
    }
    service::SetEntry entry;
    std::uint64_t entries = 0;
    while (parsed->reader->next(entry))
        ++entries;
    const double parseRate = static_cast<double>(entries) / secondsSince(start);
    std::printf("parsing alone: %" PRIu64 " entries, %.0f rows/s\n", entries, parseRate);

    auto store = service::openScanStore((dir / "store.sqlite").string());
    if (!store || !storeScan(**store, rows)) {
        std::fprintf(stderr, "import_bench: cannot prepare the store\n");
        return 1;
    }
    std::size_t matchedBefore = 0, matchedAfter = 0;
    const double without = reportSeconds(**store, matchedBefore);

    auto opened = service::openHashSet(files);
    start = Clock::now();
    auto imported = opened ? service::importHashSet(**store, *opened->reader, "bench", false)
                           : service::Expected<service::ImportSummary>(service::reject(opened.error()));
    if (!imported) {
        std::fprintf(stderr, "import_bench: %s\n", imported.error().reason.c_str());
        return 1;
    }
    const double importRate = static_cast<double>(imported->set.rows) / secondsSince(start);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double with = reportSeconds(**store, matchedAfter);

    std::printf("report of %zu files: %.2f ms without sets (%zu matched), %.2f ms with the set (%zu matched)\n",
                kReportFiles, without * 1e3, matchedBefore, with * 1e3, matchedAfter);
    std::printf("peak resident set after the import: %.0f MiB\n", static_cast<double>(usage.ru_maxrss) / 1024);
    std::printf("import into SQLite: %.0f rows/s, ratio import/parsing alone: %.2f\n", importRate,
                importRate / parseRate);
    std::printf("report read with a %" PRIu64 "-row set / without: %.2f\n", rows, with / without);
    return 0;
}
