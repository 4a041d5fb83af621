// The scan session's per-file pipeline through the real Win32 file adapter
// under Wine, over the same generated fixture as the native scan benchmark
// (written to C:\zbench in the Wine prefix and removed at the end), the
// services other than files being the native tests' fakes.
//
// The floor is our own MD5+SHA-1 (HashExtractor) over the same files read
// with plain CreateFileW and ReadFile in the scan's 64 KiB blocks, in this
// run: both sides then pay Wine's file system and the i686 digests alike,
// and the ratio is what the pipeline adds. How our i686 digests compare with
// OpenSSL is digest_bench's job. Self-timed in wall-clock time (reading
// files under Wine goes through the Wine server, which thread CPU time does
// not see), ours and the floor alternating, median of the repetitions. The
// last line is the ratio scan / floor (goal at most 1.15).

#include <windows.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "bench/scan_fixture.h"
#include "bench/win32_clock.h"
#include "client/scan/adapters.h"
#include "client/win32/unique.h"
#include "core/extractors/file_system.h"
#include "core/extractors/hash_extractor.h"
#include "core/scan/process_collection.h"

namespace {

using namespace zorvane;
using bench::FixtureFile;
using bench::ServiceRig;

constexpr int kRepetitions = 5;

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Wall-clock and thread CPU seconds of one timed part.
struct Timing {
    double wall = -1.0;
    double cpu = -1.0;
};

class Stopwatch {
public:
    Stopwatch() : wall_(seconds()), cpu_(threadSeconds()) {}
    Timing stop() const { return Timing{seconds() - wall_, threadSeconds() - cpu_}; }
    static double seconds();

private:
    double wall_;
    double cpu_;
};

double Stopwatch::seconds() { return bench::performanceSeconds(); }

std::filesystem::path hostPath(const std::u16string& windowsPath)
{
    return std::filesystem::path(std::wstring(windowsPath.begin(), windowsPath.end()));
}

// Seconds for the file steps of one scan; building the rig, the scan-wide
// facts and the enumeration are not timed. Negative when the staged scan
// does not cover the fixture.
Timing scanOnce(const std::vector<FixtureFile>& files, FileSystem& fileSystem)
{
    auto rig = std::make_unique<ServiceRig>(files);
    auto session = std::make_unique<ScanSession>(rig->services(fileSystem));
    if (!session->collectSystemInfo() || session->enumerateTargets() != files.size())
        return {};
    const Stopwatch watch;
    while (session->scanNextFile()) {
    }
    const Timing elapsed = watch.stop();
    if (session->processList().empty())
        return {};
    return elapsed;
}

// Every open fails: what the per-file pipeline costs besides reading and hashing.
class NoFiles : public FileSystem {
public:
    std::unique_ptr<zorvane::OpenFile> openForScan(const std::u16string&) override { return nullptr; }
};

// Seconds for our digests over plain ReadFile of every file.
// With `askInformation`, each file's GetFileInformationByHandle as well, as
// the scan asks it (for the attributes and the size).
Timing hashOnce(const std::vector<FixtureFile>& files, bool askInformation = false)
{
    HashExtractor extractor;
    ProcessRecord record;
    extractor.bind(&record);
    std::vector<std::uint8_t> block(kImageBlockSize);
    const Stopwatch watch;
    for (const FixtureFile& file : files) {
        const std::u16string path = makeOpenPath(file.windowsPath);
        const win32::UniqueFileHandle handle(CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ,
                                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                         nullptr));
        if (!handle)
            return {};
        BY_HANDLE_FILE_INFORMATION information;
        if (askInformation && !GetFileInformationByHandle(handle.get(), &information))
            return {};
        extractor.onImageBegin();
        DWORD count = 0;
        while (ReadFile(handle.get(), block.data(), kImageBlockSize, &count, nullptr) && count > 0)
            extractor.onImageData(block.data(), count);
        extractor.onImageEnd();
    }
    return watch.stop();
}

double median(const std::vector<Timing>& timings, double Timing::*part)
{
    std::vector<double> values;
    for (const Timing& t : timings)
        values.push_back(t.*part);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main()
{
    std::vector<FixtureFile> files;
    std::error_code ec;
    std::filesystem::remove_all(hostPath(bench::kWindowsRoot), ec);
    const std::size_t total = bench::generateFixture(
        [&](const std::u16string& directory, const std::u16string& path, const std::vector<char>& bytes) {
            std::filesystem::create_directories(hostPath(directory));
            std::ofstream(hostPath(path), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            files.push_back(FixtureFile{path, {}, bytes.size()});
        });

    auto fileSystem = client::makeFileSystem();
    std::vector<Timing> scans;
    std::vector<Timing> floors;
    std::vector<Timing> withoutFiles;
    std::vector<Timing> withInformation;
    NoFiles noFiles;
    // Warms the page cache and the adapters.
    bool ok = scanOnce(files, *fileSystem).wall > 0 && hashOnce(files).wall > 0;
    for (int repetition = 0; ok && repetition < kRepetitions; ++repetition) {
        scans.push_back(scanOnce(files, *fileSystem));
        floors.push_back(hashOnce(files));
        withoutFiles.push_back(scanOnce(files, noFiles));
        withInformation.push_back(hashOnce(files, true));
        ok = scans.back().wall > 0 && floors.back().wall > 0 && withoutFiles.back().wall > 0 &&
             withInformation.back().wall > 0;
    }
    std::filesystem::remove_all(hostPath(bench::kWindowsRoot), ec);
    if (!ok) {
        std::printf("scan_bench: the staged scan or a read failed\n");
        return 1;
    }
    const double mib = static_cast<double>(total) / (1024.0 * 1024.0);
    std::printf("fixture: %zu files, %.1f MiB under C:\\zbench\n", files.size(), mib);
    std::printf("medians of %d: wall-clock ms / thread CPU ms\n", kRepetitions);
    std::printf("scan session, Win32 file adapter: %.1f / %.1f\n", median(scans, &Timing::wall) * 1e3,
                median(scans, &Timing::cpu) * 1e3);
    std::printf("our MD5+SHA-1 over plain ReadFile: %.1f / %.1f\n", median(floors, &Timing::wall) * 1e3,
                median(floors, &Timing::cpu) * 1e3);
    std::printf("the same with GetFileInformationByHandle per file: %.1f / %.1f\n",
                median(withInformation, &Timing::wall) * 1e3, median(withInformation, &Timing::cpu) * 1e3);
    std::printf("the scan's steps without any file: %.1f / %.1f\n", median(withoutFiles, &Timing::wall) * 1e3,
                median(withoutFiles, &Timing::cpu) * 1e3);
    std::printf("ratio scan/ReadFile+digests under Wine, thread CPU: %.2f\n",
                median(scans, &Timing::cpu) / median(floors, &Timing::cpu));
    std::printf("ratio scan/ReadFile+digests under Wine, wall clock: %.2f\n",
                median(scans, &Timing::wall) / median(floors, &Timing::wall));
    return 0;
}
