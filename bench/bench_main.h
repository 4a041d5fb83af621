#pragma once
// What the Google Benchmark programs share: a console reporter that keeps the
// median of every benchmark, and a run with defaults for a shared, loaded
// machine (several repetitions in random order, so that ours and the
// baseline see the same conditions; flags on the command line come later and
// win).

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace zorvane::bench {

class MedianReporter : public benchmark::ConsoleReporter {
public:
    // A reporter of our own does not get the colour choice of the flags: colour only on a terminal.
    MedianReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median")
                continue;
            // A single repetition reports no aggregates; its own run stands in.
            const std::string& name = run.run_name.function_name;
            seconds_[name] = run.GetAdjustedRealTime() / unitsPerSecond(run.time_unit);
            const auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end())
                bytesPerSecond_[name] = rate->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Zero for a benchmark that did not run.
    double bytesPerSecond(const std::string& name) const { return valueOf(bytesPerSecond_, name); }
    double secondsPerIteration(const std::string& name) const { return valueOf(seconds_, name); }

private:
    static double unitsPerSecond(benchmark::TimeUnit unit)
    {
        switch (unit) {
        case benchmark::kNanosecond: return 1e9;
        case benchmark::kMicrosecond: return 1e6;
        case benchmark::kMillisecond: return 1e3;
        case benchmark::kSecond: return 1.0;
        }
        return 1.0;
    }
    static double valueOf(const std::map<std::string, double>& values, const std::string& name)
    {
        const auto found = values.find(name);
        return found == values.end() ? 0.0 : found->second;
    }

    std::map<std::string, double> bytesPerSecond_;
    std::map<std::string, double> seconds_;
};

// Reads the flags after our defaults. False on an unknown flag.
inline bool initialiseBenchmarks(int argc, char** argv)
{
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::string aggregates = "--benchmark_report_aggregates_only=true";
    args.insert(args.begin() + 1, {repetitions.data(), interleave.data(), aggregates.data()});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

inline void runBenchmarks(MedianReporter& reporter)
{
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}

// The last line of every benchmark program: "ratio <label>: <value>".
inline void printRatio(const char* label, double numerator, double denominator)
{
    if (numerator <= 0.0 || denominator <= 0.0)
        std::printf("ratio %s: unavailable (filtered out)\n", label);
    else
        std::printf("ratio %s: %.2f\n", label, numerator / denominator);
}

}  // namespace zorvane::bench
