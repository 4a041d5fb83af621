// MD5+SHA-1 throughput of the HashExtractor path against OpenSSL's MD5
// followed by SHA-1 on the same 64 KiB blocks, measured in one run. The last
// line is the throughput ratio ours / OpenSSL (medians over the repetitions).

#include <cstdio>
#include <vector>

#include "bench/bench_input.h"
#include "bench/bench_main.h"
#include "bench/evp_digest.h"
#include "core/digest/md5.h"
#include "core/digest/md5_sha1.h"
#include "core/digest/sha1.h"
#include "core/extractors/hash_extractor.h"

namespace {

using zorvane::bench::EvpDigest;
using zorvane::bench::kFileSize;
using zorvane::bench::kReadBlock;

const std::vector<std::uint8_t>& file()
{
    static const std::vector<std::uint8_t> bytes = zorvane::bench::makeFile();
    return bytes;
}

void countBytes(benchmark::State& state)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kFileSize));
}

void ZorvaneMd5Sha1(benchmark::State& state)
{
    zorvane::HashExtractor extractor;
    zorvane::ProcessRecord record;
    extractor.bind(&record);
    const auto& bytes = file();
    for (auto _ : state) {
        extractor.onImageBegin();
        for (std::size_t offset = 0; offset < kFileSize; offset += kReadBlock)
            extractor.onImageData(bytes.data() + offset, kReadBlock);
        extractor.onImageEnd();
        benchmark::DoNotOptimize(record);
    }
    countBytes(state);
}

void OpenSslMd5ThenSha1(benchmark::State& state)
{
    EvpDigest md5(EVP_md5());
    EvpDigest sha1(EVP_sha1());
    const auto& bytes = file();
    for (auto _ : state) {
        md5.begin();
        sha1.begin();
        for (std::size_t offset = 0; offset < kFileSize; offset += kReadBlock) {
            md5.update(bytes.data() + offset, kReadBlock);
            sha1.update(bytes.data() + offset, kReadBlock);
        }
        md5.end();
        sha1.end();
    }
    countBytes(state);
}

template <class Context>
void ZorvaneContext(benchmark::State& state)
{
    Context context;
    const auto& bytes = file();
    for (auto _ : state) {
        context.reset();
        for (std::size_t offset = 0; offset < kFileSize; offset += kReadBlock)
            context.update(bytes.data() + offset, kReadBlock);
        benchmark::DoNotOptimize(context.finish());
    }
    countBytes(state);
}

void OpenSslSingle(benchmark::State& state, const EVP_MD* md)
{
    EvpDigest digest(md);
    const auto& bytes = file();
    for (auto _ : state) {
        digest.begin();
        for (std::size_t offset = 0; offset < kFileSize; offset += kReadBlock)
            digest.update(bytes.data() + offset, kReadBlock);
        digest.end();
    }
    countBytes(state);
}

constexpr const char* kOurs = "ZorvaneMd5Sha1";
constexpr const char* kBaseline = "OpenSslMd5ThenSha1";

void registerBenchmarks()
{
    const auto configure = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->MinTime(0.3); };
    configure(benchmark::RegisterBenchmark(kOurs, ZorvaneMd5Sha1));
    configure(benchmark::RegisterBenchmark(kBaseline, OpenSslMd5ThenSha1));
    // Our engines without the SHA extensions: what processors without them get.
    configure(benchmark::RegisterBenchmark("ZorvaneMd5Sha1Portable", ZorvaneContext<zorvane::digest::Md5Sha1Portable>));
    configure(benchmark::RegisterBenchmark("ZorvaneMd5", ZorvaneContext<zorvane::digest::Md5>));
    configure(benchmark::RegisterBenchmark("OpenSslMd5", OpenSslSingle, EVP_md5()));
    configure(benchmark::RegisterBenchmark("ZorvaneSha1", ZorvaneContext<zorvane::digest::Sha1>));
    configure(benchmark::RegisterBenchmark("OpenSslSha1", OpenSslSingle, EVP_sha1()));
}

}  // namespace

int main(int argc, char** argv)
{
    if (!zorvane::bench::initialiseBenchmarks(argc, argv))
        return 1;
    registerBenchmarks();
    zorvane::bench::MedianReporter reporter;
    zorvane::bench::runBenchmarks(reporter);

    const double ours = reporter.bytesPerSecond(kOurs);
    const double baseline = reporter.bytesPerSecond(kBaseline);
    constexpr double kMiB = 1024.0 * 1024.0;
    std::printf("SHA extensions: %s\n", zorvane::digest::sha1HardwareAvailable() ? "yes" : "no");
    std::printf("ours MD5+SHA-1: %.1f MiB/s\n", ours / kMiB);
    std::printf("OpenSSL MD5 then SHA-1: %.1f MiB/s\n", baseline / kMiB);
    zorvane::bench::printRatio("ours/OpenSSL", ours, baseline);
    return 0;
}
