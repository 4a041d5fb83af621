// Building and encoding the submit fields (buildSubmitFields, then
// encodeFields with compression) for 1000 realistic records, against zlib's
// compress2 at level 9 of the same three texts alone. The last line is the
// time ratio ours / compress2 (medians over the repetitions; goal at most 1.3).

#include <zlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_input.h"
#include "bench/bench_main.h"
#include "core/scan/conversions.h"
#include "core/scan/keys.h"
#include "protocol/request_encoder.h"

namespace {

using namespace zorvane;

constexpr std::size_t kRecords = 1000;
// Every this many records one is a running program with a module list.
constexpr std::size_t kProgramEvery = 12;

class Random : public bench::XorShift {
public:
    Random() : XorShift(88172645u) {}
    template <std::size_t N>
    const char16_t* pick(const char16_t* const (&choices)[N])
    {
        return choices[next() % N];
    }
};

std::u16string hexDigits(Random& random, std::size_t count)
{
    std::u16string text;
    for (std::size_t k = 0; k < count; ++k)
        text.push_back(u"0123456789abcdef"[random.next() % 16]);
    return text;
}

std::u16string number(Random& random, std::uint32_t below) { return formatInt64(random.next() % below); }

const char16_t* const kDirectories[] = {
    u"C:\\WINDOWS\\system32",
    u"C:\\WINDOWS\\system32",
    u"C:\\WINDOWS\\system32",
    u"C:\\WINDOWS",
    u"C:\\WINDOWS\\WinSxS\\x86_Microsoft.Windows.Common-Controls_6595b64144ccf1df_6.0.2600.5512_x-ww_35d4ce83",
    u"C:\\Program Files\\Common Files\\System\\Ole DB",
    u"C:\\Program Files\\Northwind Browser",
    u"C:\\Program Files\\Contoso\\Viewer 9.0\\Viewer",
    u"C:\\Program Files\\Fabrikam\\runtime6\\bin",
    u"C:\\Documents and Settings\\Owner\\Local Settings\\Application Data\\Updater",
};
const char16_t* const kStems[] = {u"kernel", u"user", u"gdi", u"advapi", u"shell", u"ole", u"comctl", u"ws2_",
                                  u"crypt", u"msvcr", u"rpcrt", u"secur", u"wininet", u"urlmon", u"netapi",
                                  u"uxtheme", u"imm", u"version", u"shlwapi", u"msctf"};
const char16_t* const kCompanies[] = {u"Microsoft Corporation", u"Northwind Traders", u"Contoso Ltd.",
                                      u"Fabrikam, Inc.", u""};
const char16_t* const kProducts[] = {u"Microsoft\xAE Windows\xAE Operating System", u"Northwind Browser", u"Contoso Viewer",
                                     u"Fabrikam Runtime 6 Update 20", u""};
const char16_t* const kPorts[] = {u"", u"", u"", u"TCP:0.0.0.0:135:LISTENING:DEFAULT",
                                  u"UDP:127.0.0.1:1900:LOOPBACK,TCP:192.168.1.10:1042:ESTABLISHED:INTERNET"};

ProcessRecord makeRecord(Random& random, std::size_t index)
{
    ProcessRecord record;
    const std::u16string directory = random.pick(kDirectories);
    const bool program = index % kProgramEvery == 0;
    const std::u16string file = random.pick(kStems) + formatInt64(index) + (program ? u".exe" : u".dll");
    record[keys::kPathPathFull] = directory + u"\\" + file;
    record[keys::kPathPath] = directory + u"\\";
    record[keys::kPathFile] = file;
    record[keys::kPathLPath] = u"%system%\\" + file;
    record[keys::kStaticId] = hexDigits(random, 32);
    record[keys::kHashMd5] = hexDigits(random, 32);
    record[keys::kHashSha1] = hexDigits(random, 40);
    record[keys::kHandleFileSize] = number(random, 4000000);
    const std::u16string build = formatInt64(2600 + random.next() % 3) + u"." + number(random, 6000);
    record[keys::kVerFileVersion] = u"5.1." + build + u" (xpsp_sp3_gdr.100427-1636)";
    record[keys::kVerProductVersion] = u"5.1." + build;
    record[keys::kVerBinaryFileVersion] = u"5.1." + build;
    record[keys::kVerBinaryProductVersion] = u"5.1." + build;
    record[keys::kVerCompanyName] = random.pick(kCompanies);
    record[keys::kVerProductName] = random.pick(kProducts);
    record[keys::kVerFileDescription] = u"Component " + file;
    record[keys::kVerInternalName] = file;
    record[keys::kVerOriginalFilename] = file;
    record[keys::kVerLegalCopyright] = u"\xA9 Microsoft Corporation. All rights reserved.";
    if (random.next() % 10 < 3)
        record[keys::kCorvUnknown] = u"1";
    if (program) {
        record[keys::kWmiProcessId] = number(random, 8000);
        record[keys::kWmiParentProcessId] = number(random, 8000);
        record[keys::kWmiThreadCount] = number(random, 60);
        record[keys::kWmiHandleCount] = number(random, 900);
        record[keys::kWmiPriority] = u"8";
        record[keys::kWmiWorkingSetSize] = number(random, 90000000);
        record[keys::kWmiPeakWorkingSetSize] = number(random, 120000000);
        record[keys::kWmiPageFileUsage] = number(random, 60000000);
        record[keys::kWmiPeakPageFileUsage] = number(random, 80000000);
        record[keys::kWmiKernelModeTime] = number(random, 90000000);
        record[keys::kWmiUserModeTime] = number(random, 90000000);
        record[keys::kWmiProcessDescription] = file;
        record[keys::kNetNetworkPorts] = random.pick(kPorts);
        record[keys::kRefMemoryUsage] = u"0.0" + number(random, 99999);
        record[keys::kRefStartupMethod] = u"1";
        if (index % (4 * kProgramEvery) == 0) {
            record[keys::kRegLocation] = u"SYSTEM\\CurrentControlSet\\Services\\Svc" + formatInt64(index);
            record[keys::kRegDisplayName] = u"Service " + file;
            record[keys::kRegDependOnService] = u"RpcSs,Tcpip,LanmanWorkstation";
        }
    }
    return record;
}

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
