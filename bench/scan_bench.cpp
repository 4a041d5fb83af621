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

#include "bench/bench_input.h"
#include "bench/bench_main.h"
#include "bench/evp_digest.h"
#include "bench/posix_file_system.h"
#include "core/app/run_settings.h"
#include "core/extractors/hash_extractor.h"
#include "core/extractors/path_operations.h"
#include "core/scan/conversions.h"
#include "core/scan/process_collection.h"
#include "core/scan/scan_session.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_network_system.h"
#include "fakes/fake_path_system.h"
#include "fakes/fake_process_system.h"
#include "fakes/fake_progress_view.h"
#include "fakes/fake_registry_reader.h"
#include "fakes/fake_version_resources.h"
#include "fakes/fake_wmi_query.h"

namespace {

using namespace zorvane;
using bench::PosixFileSystem;

// 39 program directories of an executable and 49 libraries, and one system
// directory of 50 libraries that every process loads: 2000 files.
constexpr int kPrograms = 39;
constexpr int kFilesPerDirectory = 50;
const std::u16string kWindowsRoot = u"C:\\zbench";

struct FixtureFile {
    std::u16string windowsPath;
    std::string nativePath;
    std::size_t size = 0;
};

class Random : public bench::XorShift {
public:
    std::size_t between(std::size_t low, std::size_t high) { return low + next() % (high - low + 1); }
};

// Mostly small libraries, some medium ones and a few large: about 280 MB.
std::size_t drawSize(Random& random)
{
    const std::uint32_t bucket = random.next() % 100;
    if (bucket < 75)
        return random.between(2 << 10, 96 << 10);
    if (bucket < 98)
        return random.between(96 << 10, 512 << 10);
    return random.between(1 << 20, 3 << 20);
}

std::u16string programDirectory(int program)
{
    char name[16];
    std::snprintf(name, sizeof name, "\\app%02d", program);
    return kWindowsRoot + widenLatin1(name);
}

std::u16string fileName(const char* stem, int index)
{
    char name[24];
    std::snprintf(name, sizeof name, "\\%s%02d.dll", stem, index);
    return widenLatin1(name);
}

class Fixture {
public:
    explicit Fixture(std::string root) : root_(std::move(root)), files_(root_)
    {
        std::filesystem::remove_all(root_);
        Random random;
        std::vector<char> bytes;
        for (int program = 0; program <= kPrograms; ++program) {
            const bool system = program == kPrograms;
            const std::u16string directory = system ? kWindowsRoot + u"\\system32" : programDirectory(program);
            std::filesystem::create_directories(files_.nativePath(directory));
            for (int index = 0; index < kFilesPerDirectory; ++index) {
                FixtureFile file;
                file.windowsPath =
                    directory + (system ? fileName("sys", index) : index == 0 ? u"\\app.exe" : fileName("mod", index));
                file.nativePath = files_.nativePath(makeOpenPath(file.windowsPath));
                file.size = drawSize(random);
                bytes.resize(file.size);
                for (char& b : bytes)
                    b = static_cast<char>(random.next());
                std::ofstream(file.nativePath, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                totalBytes_ += file.size;
                list_.push_back(std::move(file));
            }
        }
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

// Every service but files, staged as a machine running the fixture's programs.
struct ServiceRig {
    fakes::FakeProcessSystem processes;
    fakes::FakePrivilegeSystem privileges;
    fakes::FakeClock clock;
    fakes::FakePathSystem pathSystem = fakes::FakePathSystem::typicalWindows();
    PathOperations paths{pathSystem};
    fakes::FakeVersionResources versions;
    fakes::FakeRegistryReader registry;
    fakes::FakeWmiQuery wmi;
    fakes::FakeNetworkSystem network;
    fakes::FakeProgressView progress;
    RunSettings settings;

    explicit ServiceRig(const std::vector<FixtureFile>& files)
    {
        WmiObjects processTable;
        for (int program = 0; program < kPrograms; ++program) {
            fakes::FakeProcess& process = processes.processes.emplace_back();
            process.id = static_cast<std::uint32_t>(1000 + 4 * program);
            for (int index = 0; index < kFilesPerDirectory; ++index)
                process.modules.push_back(files[program * kFilesPerDirectory + index].windowsPath);
            for (int index = 0; index < kFilesPerDirectory; ++index)
                process.modules.push_back(files[kPrograms * kFilesPerDirectory + index].windowsPath);
            const std::u16string id = formatInt64(process.id);
            processTable.push_back({{u"ProcessId", id},
                                    {u"ParentProcessId", u"652"},
                                    {u"Priority", u"8"},
                                    {u"ThreadCount", u"12"},
                                    {u"HandleCount", u"310"},
                                    {u"WorkingSetSize", u"14336000"},
                                    {u"PeakWorkingSetSize", u"20480000"},
                                    {u"PageFileUsage", u"9216000"},
                                    {u"KernelModeTime", u"1562500"},
                                    {u"UserModeTime", u"4687500"},
                                    {u"Description", u"app.exe"}});
            if (program % 8 == 0) {
                const std::u16string service = u"SYSTEM\\CurrentControlSet\\Services\\BenchSvc" + id;
                registry.setText(RegistryRoot::LocalMachine, service, u"ImagePath",
                                 u"\"" + *process.modules.front() + u"\" -service");
                registry.setText(RegistryRoot::LocalMachine, service, u"DisplayName", u"Bench Service " + id);
            }
        }
        for (std::size_t k = 0; k < files.size(); ++k) {
            pathSystem.addFile(files[k].windowsPath);
            const std::u16string name = files[k].windowsPath.substr(files[k].windowsPath.rfind(u'\\') + 1);
            const auto minor = static_cast<std::uint32_t>(k % 7);
            versions.stage(files[k].windowsPath)
                .fileVersion(0x00050001, 0x0A280000 | minor)
                .productVersion(0x00050001, 0x0A280000)
                .translation(0x0409, 0x04b0)
                .string(u"040904b0", u"CompanyName", u"Bench Software Corporation")
                .string(u"040904b0", u"FileDescription", u"Bench component " + name)
                .string(u"040904b0", u"FileVersion", u"5.1.2600." + formatInt64(minor) + u" (xpsp.080413-2111)")
                .string(u"040904b0", u"InternalName", name)
                .string(u"040904b0", u"LegalCopyright", u"(C) Bench Software Corporation. All rights reserved.")
                .string(u"040904b0", u"OriginalFilename", name)
                .string(u"040904b0", u"ProductName", u"Bench Operating System")
                .string(u"040904b0", u"ProductVersion", u"5.1.2600.5512");
        }
        wmi.stage(u"SELECT * FROM Win32_OperatingSystem",
                  {{{u"Caption", u"Microsoft Windows XP Professional"}, {u"TotalVisibleMemorySize", u"2096616"}}})
            .stage(u"SELECT * FROM Win32_Process", std::move(processTable))
            .stage(u"SELECT * FROM Win32_Processor", {{{u"Caption", u"x86 Family 6 Model 15"}, {u"ProcessorId", u"BFEBFBFF"}}})
            .stage(u"SELECT * FROM Win32_StartupCommand",
                   {{{u"Caption", u"app"},
                     {u"Command", u"\"" + files.front().windowsPath + u"\" /tray"},
                     {u"Location", u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"},
                     {u"User", u"All Users"}}});
    }

    ScanServices services(FileSystem& files)
    {
        return {processes, privileges, files, clock, paths, versions, registry, wmi, network, progress, settings};
    }
};

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
