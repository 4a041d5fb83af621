#pragma once
// The scan benchmarks' fixture, natively and under Wine: 2000 files of mixed
// sizes (about 280 MB) in 39 program directories and a system directory,
// and every service but files staged as a machine running those programs
// (the native tests' fakes).

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_input.h"
#include "core/base/conversions.h"
#include "core/base/run_settings.h"
#include "core/extractors/path_operations.h"
#include "core/scan/scan_session.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_network_system.h"
#include "tests/fakes/fake_path_system.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/fake_progress_view.h"
#include "tests/fakes/fake_registry_reader.h"
#include "tests/fakes/fake_version_resources.h"
#include "tests/fakes/fake_wmi_query.h"

namespace zorvane::bench {

// 39 program directories of an executable and 49 libraries, and one system
// directory of 50 libraries that every process loads: 2000 files.
inline constexpr int kPrograms = 39;
inline constexpr int kFilesPerDirectory = 50;
inline const std::u16string kWindowsRoot = u"C:\\zbench";

struct FixtureFile {
    std::u16string windowsPath;
    std::string nativePath;
    std::size_t size = 0;
};

class Random : public XorShift {
public:
    std::size_t between(std::size_t low, std::size_t high) { return low + next() % (high - low + 1); }
};

// Mostly small libraries, some medium ones and a few large: about 280 MB.
inline std::size_t drawSize(Random& random)
{
    const std::uint32_t bucket = random.next() % 100;
    if (bucket < 75)
        return random.between(2 << 10, 96 << 10);
    if (bucket < 98)
        return random.between(96 << 10, 512 << 10);
    return random.between(1 << 20, 3 << 20);
}

inline std::u16string programDirectory(int program)
{
    char name[16];
    std::snprintf(name, sizeof name, "\\app%02d", program);
    return kWindowsRoot + widenLatin1(name);
}

inline std::u16string fileName(const char* stem, int index)
{
    char name[24];
    std::snprintf(name, sizeof name, "\\%s%02d.dll", stem, index);
    return widenLatin1(name);
}

// Every fixture file in scan order with its size and contents: `write`
// gets the Windows path and the bytes.
template <class Write>
std::size_t generateFixture(Write write)
{
    Random random;
    std::vector<char> bytes;
    std::size_t total = 0;
    for (int program = 0; program <= kPrograms; ++program) {
        const bool system = program == kPrograms;
        const std::u16string directory = system ? kWindowsRoot + u"\\system32" : programDirectory(program);
        for (int index = 0; index < kFilesPerDirectory; ++index) {
            const std::u16string path =
                directory + (system ? fileName("sys", index) : index == 0 ? u"\\app.exe" : fileName("mod", index));
            bytes.resize(drawSize(random));
            for (char& b : bytes)
                b = static_cast<char>(random.next());
            write(directory, path, bytes);
            total += bytes.size();
        }
    }
    return total;
}

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

}  // namespace zorvane::bench
