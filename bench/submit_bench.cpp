// Building and encoding the submit fields (buildSubmitFields, then
// encodeFields with compression) for 1000 realistic records, against zlib's
// compress2 at level 9 of the same three texts alone. The last line is the
// time ratio ours / compress2 (medians over the repetitions; goal at most 1.3).

#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_main.h"
#include "bench/records.h"
#include "core/base/keys.h"
#include "protocol/request_encoder.h"

namespace {

using namespace zorvane;
using bench::kProgramEvery;
using bench::makeRecord;
using bench::Random;

constexpr std::size_t kRecords = 1000;
struct Scan {
    ProcessRecord scanRecord;
    std::vector<ProcessRecord> processList;
};

// A scan of kRecords records; every program loads 40 to 120 of the others.
Scan makeScan()
{
    Random random;
    Scan scan;
    for (std::size_t index = 0; index < kRecords; ++index)
        scan.processList.push_back(makeRecord(random, index));
    for (std::size_t index = 0; index < kRecords; index += kProgramEvery) {
        std::u16string modules;
        const std::size_t count = 40 + random.next() % 81;
        for (std::size_t k = 0; k < count; ++k) {
            if (!modules.empty())
                modules.push_back(u',');
            modules += scan.processList[random.next() % kRecords][keys::kPathPathFull];
        }
        scan.processList[index][keys::kModuleList] = std::move(modules);
    }
    ProcessRecord& record = scan.scanRecord;
    record[keys::kScanId] = u"5f0c2a9e1b7d4c3a8e6f9d2b1a0c3e4f";
    record[keys::kScanTime] = u"2026-12-08 19:00:00";
    record[keys::kCaption] = u"Microsoft Windows XP Professional";
    record[keys::kVersion] = u"5.1.2600";
    record[keys::kCSDVersion] = u"Service Pack 3";
    record[keys::kTotalVisibleMemorySize] = u"2096616";
    record[keys::kProcessor] = u"x86 Family 6 Model 15 Stepping 13";
    record[keys::kClientId] = u"0c1d2e3f405162738495a6b7c8d9eaf0";
    return scan;
}

const Scan& scan()
{
    static const Scan made = makeScan();
    return made;
}

// With `encode` false, the build alone: where the time besides zlib goes.
void buildSubmit(benchmark::State& state, bool encode)
{
    for (auto _ : state) {
        state.PauseTiming();
        Scan working = scan();
        state.ResumeTiming();
        protocol::RequestEncoder encoder;
        protocol::FormFields fields = protocol::buildSubmitFields(encoder, working.scanRecord, working.processList);
        if (encode && !protocol::encodeFields(fields, true)) {
            state.SkipWithError("encoding failed");
            return;
        }
        benchmark::DoNotOptimize(fields);
        state.PauseTiming();
        working = Scan();
        state.ResumeTiming();
    }
}

// The three texts that get compressed, as one build leaves them.
std::vector<std::string> rawTexts()
{
    Scan working = scan();
    protocol::RequestEncoder encoder;
    protocol::FormFields fields = protocol::buildSubmitFields(encoder, working.scanRecord, working.processList);
    std::vector<std::string> texts;
    for (std::string_view name : {protocol::kInputField, protocol::kInputStaticField, protocol::kInputDynamicField})
        texts.push_back(fields[std::string(name)]);
    return texts;
}

void Compress2Level9(benchmark::State& state)
{
    const std::vector<std::string> texts = rawTexts();
    std::vector<Bytef> out;
    for (auto _ : state) {
        for (const std::string& text : texts) {
            uLongf size = compressBound(static_cast<uLong>(text.size()));
            out.resize(size);
            compress2(out.data(), &size, reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()),
                      Z_BEST_COMPRESSION);
            benchmark::DoNotOptimize(out.data());
        }
    }
}

constexpr const char* kOurs = "BuildAndEncodeSubmit";
constexpr const char* kBaseline = "Compress2Level9";

}  // namespace

int main(int argc, char** argv)
{
    if (!bench::initialiseBenchmarks(argc, argv))
        return 1;
    const auto configure = [](benchmark::internal::Benchmark* b) { b->Unit(benchmark::kMillisecond)->MinTime(0.3); };
    configure(benchmark::RegisterBenchmark(kOurs, buildSubmit, true));
    configure(benchmark::RegisterBenchmark("BuildSubmitFields", buildSubmit, false));
    configure(benchmark::RegisterBenchmark(kBaseline, Compress2Level9));
    bench::MedianReporter reporter;
    bench::runBenchmarks(reporter);

    std::size_t rawBytes = 0;
    for (const std::string& text : rawTexts())
        rawBytes += text.size();
    const double ours = reporter.secondsPerIteration(kOurs);
    const double baseline = reporter.secondsPerIteration(kBaseline);
    std::printf("records: %zu, raw texts: %.1f KiB\n", kRecords, rawBytes / 1024.0);
    std::printf("build and encode: %.2f ms\n", ours * 1e3);
    std::printf("compress2 level 9 alone: %.2f ms\n", baseline * 1e3);
    zorvane::bench::printRatio("build+encode/compress2", ours, baseline);
    return 0;
}
