// MD5+SHA-1 throughput of the HashExtractor path in the 32-bit Windows build,
// self-timed (there is no Google Benchmark for the cross toolchain). Like the
// native benchmark it hashes a 4 MiB file in 64 KiB blocks and reports the
// median of five repetitions, timed in thread CPU time so that a loaded
// machine disturbs it as little as possible. Under Wine that clock advances in
// 10 ms steps, hence repetitions of a second. scripts/run-benchmarks.sh reads
// the "MiB/s" lines.

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench/bench_input.h"
#include "core/digest/md5_sha1.h"
#include "core/digest/sha1.h"
#include "core/extractors/hash_extractor.h"

namespace {

using zorvane::bench::kFileSize;
using zorvane::bench::kReadBlock;

double threadSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Median bytes per second of hashFile over five repetitions of at least
// minSeconds each.
template <class HashFile>
double medianRate(HashFile hashFile, double minSeconds)
{
    std::vector<double> rates;
    hashFile();  // warm-up
    for (int repetition = 0; repetition < 5; ++repetition) {
        const double start = threadSeconds();
        double elapsed = 0.0;
        std::size_t files = 0;
        do {
            hashFile();
            ++files;
            elapsed = threadSeconds() - start;
        } while (elapsed < minSeconds);
        rates.push_back(static_cast<double>(files * kFileSize) / elapsed);
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

}  // namespace

int main()
{
    const std::vector<std::uint8_t> bytes = zorvane::bench::makeFile();

    zorvane::HashExtractor extractor;
    zorvane::ProcessRecord record;
    extractor.bind(&record);
    const double ours = medianRate(
        [&] {
            extractor.onImageBegin();
            for (std::size_t offset = 0; offset < kFileSize; offset += kReadBlock)
                extractor.onImageData(bytes.data() + offset, kReadBlock);
            extractor.onImageEnd();
        },
        1.0);

    zorvane::digest::Md5Sha1Portable portableDigests;
    const double portable = medianRate(
        [&] {
            portableDigests.reset();
            for (std::size_t offset = 0; offset < kFileSize; offset += kReadBlock)
                portableDigests.update(bytes.data() + offset, kReadBlock);
            (void)portableDigests.finish();
        },
        1.0);

    constexpr double kMiB = 1024.0 * 1024.0;
    std::printf("SHA extensions: %s\n", zorvane::digest::sha1HardwareAvailable() ? "yes" : "no");
    std::printf("i686 MD5+SHA-1: %.1f MiB/s\n", ours / kMiB);
    std::printf("i686 MD5+SHA-1 without SHA extensions: %.1f MiB/s\n", portable / kMiB);
    return 0;
}
