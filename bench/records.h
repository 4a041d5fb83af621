#pragma once
// Realistic process records for the benchmarks that encode and ingest scans:
// Windows paths, version resources, digests, WMI values, ports and service
// entries, drawn from a deterministic generator.

#include <cstdint>
#include <string>

#include "bench/bench_input.h"
#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/base/record.h"

namespace zorvane::bench {

// Every this many records one is a running program with a module list.
inline constexpr std::size_t kProgramEvery = 12;

class Random : public XorShift {
public:
    explicit Random(std::uint32_t seed = 88172645u) : XorShift(seed) {}
    template <std::size_t N>
    const char16_t* pick(const char16_t* const (&choices)[N])
    {
        return choices[next() % N];
    }
};

inline std::u16string hexDigits(Random& random, std::size_t count)
{
    std::u16string text;
    for (std::size_t k = 0; k < count; ++k)
        text.push_back(u"0123456789abcdef"[random.next() % 16]);
    return text;
}

inline std::u16string number(Random& random, std::uint32_t below) { return formatInt64(random.next() % below); }

inline const char16_t* const kDirectories[] = {
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
inline const char16_t* const kStems[] = {u"kernel", u"user", u"gdi", u"advapi", u"shell", u"ole", u"comctl", u"ws2_",
                                  u"crypt", u"msvcr", u"rpcrt", u"secur", u"wininet", u"urlmon", u"netapi",
                                  u"uxtheme", u"imm", u"version", u"shlwapi", u"msctf"};
inline const char16_t* const kCompanies[] = {u"Microsoft Corporation", u"Northwind Traders", u"Contoso Ltd.",
                                      u"Fabrikam, Inc.", u""};
inline const char16_t* const kProducts[] = {u"Microsoft\xAE Windows\xAE Operating System", u"Northwind Browser", u"Contoso Viewer",
                                     u"Fabrikam Runtime 6 Update 20", u""};
inline const char16_t* const kPorts[] = {u"", u"", u"", u"TCP:0.0.0.0:135:LISTENING:DEFAULT",
                                  u"UDP:127.0.0.1:1900:LOOPBACK,TCP:192.168.1.10:1042:ESTABLISHED:INTERNET"};

inline ProcessRecord makeRecord(Random& random, std::size_t index)
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

}  // namespace zorvane::bench
