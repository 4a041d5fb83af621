// The WMI and registry extractors inside a whole scan session: scan-wide
// facts in the scan record, startup files scanned as extra files, and the
// per-file and per-process keys in the records.
#include <gtest/gtest.h>

#include "core/base/keys.h"
#include "core/base/run_settings.h"
#include "core/scan/scan_session.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_file_system.h"
#include "tests/fakes/fake_network_system.h"
#include "tests/fakes/fake_path_system.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/fake_progress_view.h"
#include "tests/fakes/fake_registry_reader.h"
#include "tests/fakes/fake_version_resources.h"
#include "tests/fakes/fake_wmi_query.h"

using namespace zorvane;

namespace {

// Absent and empty read alike, as every reader of a record treats them.
std::u16string textOf(const ProcessRecord& record, std::string_view key)
{
    const std::u16string* value = record.find(key);
    return value ? *value : std::u16string();
}

}  // namespace

TEST(WmiRegistryScan, StartupAndServiceFactsReachTheRecords)
{
    const std::u16string svchost = u"C:\\WINDOWS\\system32\\svchost.exe";
    const std::u16string app = u"C:\\Program Files\\App\\app.exe";
    const std::u16string run = u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

    fakes::FakeProcessSystem processes({{7, {svchost}}});
    fakes::FakePrivilegeSystem privileges;
    fakes::FakeFileSystem files;
    files.add(svchost, fakes::FakeFile::ofSize(10));
    files.add(app, fakes::FakeFile::ofSize(20));
    fakes::FakeClock clock;
    fakes::FakePathSystem pathSystem = fakes::FakePathSystem::typicalWindows();
    pathSystem.addFile(svchost).addFile(app);
    PathOperations paths(pathSystem);
    fakes::FakeVersionResources versions;
    fakes::FakeRegistryReader registry;
    const std::u16string service = u"SYSTEM\\CurrentControlSet\\Services\\Dhcp";
    registry.setText(RegistryRoot::LocalMachine, service, u"ImagePath", u"%SystemRoot%\\system32\\svchost.exe -k netsvcs");
    registry.setText(RegistryRoot::LocalMachine, service, u"DisplayName", u"DHCP Client");
    fakes::FakeWmiQuery wmi;
    wmi.stage(u"SELECT * FROM Win32_OperatingSystem", {{{u"Caption", u"Windows XP"}, {u"TotalVisibleMemorySize", u"1024"}}})
        .stage(u"SELECT * FROM Win32_Process", {{{u"ProcessId", u"7"}, {u"Priority", u"8"}, {u"WorkingSetSize", u"512"}}})
        .stage(u"SELECT * FROM Win32_Processor", {{{u"Caption", u"x86"}, {u"ProcessorId", u"BF"}}})
        .stage(u"SELECT * FROM Win32_StartupCommand",
               {{{u"Caption", u"App"}, {u"Command", u"\"" + app + u"\" /tray"}, {u"Location", run}, {u"User", u"All Users"}}});
    fakes::FakeNetworkSystem network;
    fakes::FakeProgressView progress;
    RunSettings settings;
    const ScanServices services{processes, privileges, files, clock, paths, versions, registry, wmi, network, progress,
                                settings};

    ScanSession session(services);
    ASSERT_TRUE(session.runScanPhases());

    const ProcessRecord& scan = session.scanRecord();
    EXPECT_EQ(textOf(scan, keys::kCaption), u"Windows XP");
    EXPECT_EQ(textOf(scan, keys::kProcessor), u"x86");
    EXPECT_EQ(textOf(scan, keys::kClientId).size(), 32u);

    // Path order: the startup program (run by no process), then svchost (process 7).
    const auto& list = session.processList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(textOf(list[0], keys::kPathPathFull), app);
    EXPECT_EQ(textOf(list[0], keys::kWmiStartupLocation), run);
    EXPECT_EQ(textOf(list[0], keys::kWmiUserUsedForStartup), u"1");
    EXPECT_EQ(textOf(list[0], keys::kWmiProcessId), u"");
    EXPECT_EQ(textOf(list[0], keys::kRegLocation), u"");
    EXPECT_EQ(textOf(list[0], keys::kRefStartupMethod), u"3");

    EXPECT_EQ(textOf(list[1], keys::kWmiProcessId), u"7");
    EXPECT_EQ(textOf(list[1], keys::kWmiPriority), u"5");
    EXPECT_EQ(textOf(list[1], keys::kRegDisplayName), u"DHCP Client");
    EXPECT_EQ(textOf(list[1], keys::kRegLocation), service);
    EXPECT_EQ(textOf(list[1], keys::kRefStartupMethod), u"2");
    EXPECT_EQ(textOf(list[1], keys::kWmiStartupLocation), u"");
}
