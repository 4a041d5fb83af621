// The scan session's per-file pipeline (path, version, registry and WMI
// lookups, open, read, hash, record copy) over a generated directory of a
// few thousand files of mixed sizes, read through the POSIX file adapter,
// against hashing the same files with OpenSSL's MD5 and SHA-1 in the same
// run. The services other than files are the native tests' fakes, staged
// with a realistic load. The last line is the time ratio scan / OpenSSL
// (medians over the repetitions; goal at most 1.15).

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/evp_digest.h"
#include "bench/posix_file_system.h"
#include "bench/scan_fixture.h"
#include "core/extractors/hash_extractor.h"
#include "core/scan/process_collection.h"

namespace {

using namespace zorvane;
using bench::PosixFileSystem;

using bench::FixtureFile;
using bench::kFilesPerDirectory;
using bench::kPrograms;
using bench::ServiceRig;

class Fixture {
public:
    explicit Fixture(std::string root) : root_(std::move(root)), files_(root_)
    {
        std::filesystem::remove_all(root_);
        totalBytes_ = bench::generateFixture(
            [&](const std::u16string& directory, const std::u16string& path, const std::vector<char>& bytes) {
                std::filesystem::create_directories(files_.nativePath(directory));
                FixtureFile file;
                file.windowsPath = path;
                file.nativePath = files_.nativePath(makeOpenPath(path));
                file.size = bytes.size();
                std::ofstream(file.nativePath, std::ios::binary)
                    .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                list_.push_back(std::move(file));
            });
    }
    ~Fixture() { std::filesystem::remove_all(root_); }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    const std::vector<FixtureFile>& files() const { return list_; }
    PosixFileSystem& fileSystem() { return files_; }
    std::size_t totalBytes() const { return totalBytes_; }

private:
    std::string root_;
    PosixFileSystem files_;
    std::vector<FixtureFile> list_;
    std::size_t totalBytes_ = 0;
};

Fixture* fixture = nullptr;

void countBytes(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(fixture->totalBytes()));
}

// The timed part is the file steps; building the rig, the scan-wide facts
// and the enumeration are not.
void scanFiles(benchmark::State& state, FileSystem& files)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto rig = std::make_unique<ServiceRig>(fixture->files());
        auto session = std::make_unique<ScanSession>(rig->services(files));
        if (!session->collectSystemInfo() || session->enumerateTargets() != fixture->files().size()) {
            state.SkipWithError("the staged scan does not cover the fixture");
            return;
        }
        state.ResumeTiming();
        while (session->scanNextFile()) {
        }
        benchmark::DoNotOptimize(session->processList().data());
        state.PauseTiming();
        session.reset();
        rig.reset();
        state.ResumeTiming();
    }
}

void ScanSessionFiles(benchmark::State& state)
{
    scanFiles(state, fixture->fileSystem());
    countBytes(state);
}

// Every open fails: what the per-file pipeline costs besides reading and hashing.
class NoFiles : public FileSystem {
public:
    std::unique_ptr<OpenFile> openForScan(const std::u16string&) override { return nullptr; }
};

void ScanSessionWithoutFiles(benchmark::State& state)
{
    NoFiles none;
    scanFiles(state, none);
}

// Reads each file in the scan's blocks and hands them to `consume`.
template <class Begin, class Consume, class End>
void readEachFile(Begin begin, Consume consume, End end)
{
    std::vector<std::uint8_t> block(kImageBlockSize);
    for (const FixtureFile& file : fixture->files()) {
        const int descriptor = ::open(file.nativePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (descriptor < 0)
            continue;
        begin();
        for (;;) {
            const ssize_t count = ::read(descriptor, block.data(), block.size());
            if (count <= 0)
                break;
            consume(block.data(), static_cast<std::size_t>(count));
        }
        end();
        ::close(descriptor);
    }
}

void OpenSslMd5Sha1Files(benchmark::State& state)
{
    bench::EvpDigest md5(EVP_md5());
    bench::EvpDigest sha1(EVP_sha1());
    for (auto _ : state) {
        readEachFile(
            [&] {
                md5.begin();
                sha1.begin();
            },
            [&](const std::uint8_t* data, std::size_t count) {
                md5.update(data, count);
                sha1.update(data, count);
            },
            [&] {
                md5.end();
                sha1.end();
            });
    }
    countBytes(state);
}

// Our digests on the same reads, without the session around them.
void HashExtractorFiles(benchmark::State& state)
{
    HashExtractor extractor;
    ProcessRecord record;
    extractor.bind(&record);
    for (auto _ : state) {
        readEachFile([&] { extractor.onImageBegin(); },
                     [&](const std::uint8_t* data, std::size_t count) {
                         extractor.onImageData(data, static_cast<std::uint32_t>(count));
                     },
                     [&] { extractor.onImageEnd(); });
        benchmark::DoNotOptimize(record);
    }
    countBytes(state);
}

constexpr const char* kOurs = "ScanSessionFiles";
constexpr const char* kBaseline = "OpenSslMd5Sha1Files";

}  // namespace

int main(int argc, char** argv)
{
    if (!bench::initialiseBenchmarks(argc, argv))
        return 1;
    Fixture files(ZORVANE_BENCH_FIXTURE_DIR);
    fixture = &files;

    const auto configure = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->MinTime(0.5); };
    configure(benchmark::RegisterBenchmark(kOurs, ScanSessionFiles));
    configure(benchmark::RegisterBenchmark(kBaseline, OpenSslMd5Sha1Files));
    configure(benchmark::RegisterBenchmark("HashExtractorFiles", HashExtractorFiles));
    configure(benchmark::RegisterBenchmark("ScanSessionWithoutFiles", ScanSessionWithoutFiles));
    bench::MedianReporter reporter;
    bench::runBenchmarks(reporter);

    const double ours = reporter.secondsPerIteration(kOurs);
    const double baseline = reporter.secondsPerIteration(kBaseline);
    std::printf("fixture: %zu files, %.1f MiB\n", files.files().size(), files.totalBytes() / (1024.0 * 1024.0));
    std::printf("scan session: %.1f ms\n", ours * 1e3);
    std::printf("of which our digests over the same reads: %.1f ms\n", reporter.secondsPerIteration("HashExtractorFiles") * 1e3);
    std::printf("of which the steps without any file: %.1f ms\n",
                reporter.secondsPerIteration("ScanSessionWithoutFiles") * 1e3);
    std::printf("OpenSSL MD5 and SHA-1 over the same files: %.1f ms\n", baseline * 1e3);
    zorvane::bench::printRatio("scan/OpenSSL", ours, baseline);
    return 0;
}
