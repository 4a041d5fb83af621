#include <gtest/gtest.h>

#include <utility>

#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/base/trace.h"
#include "core/extractors/wmi_info.h"
#include "tests/fakes/fake_path_system.h"
#include "tests/fakes/fake_wmi_query.h"
#include "tests/fakes/trace_capture.h"

using namespace zorvane;
using fakes::FakeWmiQuery;

namespace {

const std::u16string kOperatingSystem = u"SELECT * FROM Win32_OperatingSystem";
const std::u16string kProcesses = u"SELECT * FROM Win32_Process";
const std::u16string kProcessors = u"SELECT * FROM Win32_Processor";
const std::u16string kStartup = u"SELECT * FROM Win32_StartupCommand";
const std::u16string kDisplay = u"SELECT * FROM Win32_DisplayConfiguration";

class FixedClock : public Clock {
public:
    std::uint64_t fileTime = 0x01DC6A1234567890ULL;
    std::uint32_t tickCount() override { return 0; }
    std::uint64_t systemTimeAsFileTime() override { return fileTime; }
    void sleep(std::uint32_t) override {}
};

class WmiInfo : public ::testing::Test {
protected:
    WmiInfo()
    {
        wmi.stage(kOperatingSystem, {{{u"Caption", u"Microsoft Windows XP Professional"},
                                      {u"Version", u"5.1.2600"},
                                      {u"TotalVisibleMemorySize", u"1048576"}},
                                     {{u"Caption", u"second object"}}});
        wmi.stage(kProcessors, {{{u"Caption", u"x86 Family 6"}, {u"ProcessorId", u"BFEBFBFF000006F2"}}});
    }

    FakeWmiQuery wmi;
    fakes::FakePathSystem pathSystem = fakes::FakePathSystem::typicalWindows();
    PathOperations paths{pathSystem};
    FixedClock clock;
};

}  // namespace

TEST_F(WmiInfo, ScanWideTableTakesTheFirstSystemObjectTheLastProcessorCaptionAndTheDisplay)
{
    wmi.stage(kProcessors, {{{u"Caption", u"first"}, {u"ProcessorId", u""}},
                            {{u"Caption", u"second"}, {u"ProcessorId", u"B"}}});
    wmi.stage(kDisplay, {{{u"BitsPerPel", u"32"}, {u"PelsWidth", u"1024"}, {u"PelsHeight", u"768"}}});
    WMIInfoExtractor extractor(wmi, paths, clock);
    ASSERT_TRUE(extractor.collectScanWide());

    const auto& table = extractor.scanWideTable();
    EXPECT_EQ(table.at(u"Caption"), u"Microsoft Windows XP Professional");
    EXPECT_EQ(table.at(u"TotalVisibleMemorySize"), u"1048576");
    EXPECT_EQ(table.at(u"SerialNumber"), u"") << "a property the object lacks is present and empty";
    EXPECT_EQ(table.at(u"Processor"), u"second");
    EXPECT_EQ(table.at(u"ProcessorId"), u"B") << "an empty first id gives no leading comma";
    EXPECT_EQ(table.at(u"PelsWidth"), u"1024");
    EXPECT_EQ(table.at(u"BitsPerPel"), u"32");
    EXPECT_EQ(wmi.queries, (std::vector<std::u16string>{kOperatingSystem, kProcesses, kProcessors, kStartup, kDisplay}));
}

TEST_F(WmiInfo, OnlyTheConnectionAndTheProcessorQueryDecideThePhase)
{
    {
        wmi.fail(kOperatingSystem).fail(kProcesses).fail(kStartup).fail(kDisplay);
        WMIInfoExtractor extractor(wmi, paths, clock);
        EXPECT_TRUE(extractor.collectScanWide());
        EXPECT_FALSE(extractor.scanWideTable().contains(u"Caption"));
        EXPECT_FALSE(extractor.scanWideTable().contains(u"PelsWidth"));
        EXPECT_TRUE(extractor.scanWideTable().contains(u"ClientScanId"));
    }
    {
        wmi.fail(kProcessors);
        WMIInfoExtractor extractor(wmi, paths, clock);
        EXPECT_FALSE(extractor.collectScanWide());
    }
    {
        wmi.connectResult = false;
        wmi.queries.clear();
        WMIInfoExtractor extractor(wmi, paths, clock);
        EXPECT_FALSE(extractor.collectScanWide());
        EXPECT_TRUE(wmi.queries.empty());
    }
}

TEST(WmiPriority, BasePrioritiesMapToClasses)
{
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"", u"1"},    {u"0", u"1"},   {u"1", u"2"},   {u"2", u"3"},   {u"4", u"3"},   {u"5", u"4"},
        {u"6", u"4"},   {u"7", u"5"},   {u"8", u"5"},   {u"9", u"6"},   {u"11", u"6"},  {u"12", u"7"},
        {u"13", u"7"},  {u"14", u"8"},  {u"15", u"8"},  {u"16", u"9"},  {u"17", u"10"}, {u"24", u"10"},
        {u"30", u"10"}, {u"31", u"11"}, {u"32", u"32"}, {u"-1", u"-1"}, {u"abc", u"1"},
    };
    for (const auto& [base, expected] : cases)
        EXPECT_EQ(priorityClass(base), expected) << "base priority \"" << narrowLatin1(base) << "\"";
}

TEST_F(WmiInfo, OnProcessCopiesTheProcessValuesWithThePriorityClass)
{
    wmi.stage(kProcesses, {{{u"ProcessId", u"4"}, {u"Priority", u"8"}, {u"ThreadCount", u"60"}},
                           {{u"ProcessId", u"408"}, {u"Priority", u"24"}, {u"ParentProcessId", u"4"}}});
    WMIInfoExtractor extractor(wmi, paths, clock);
    ASSERT_TRUE(extractor.collectScanWide());

    ProcessRecord record;
    extractor.bind(&record);
    extractor.onProcess(408);
    EXPECT_EQ(record[keys::kWmiPriority], u"10");
    EXPECT_EQ(record[keys::kWmiParentProcessId], u"4");
    EXPECT_EQ(record[keys::kWmiProcessId], u"408");
    EXPECT_EQ(record.size(), 11u) << "every property of the list, the absent ones empty";
    EXPECT_EQ(record[keys::kWmiHandleCount], u"");

    ProcessRecord later;
    extractor.bind(&later);
    extractor.onProcess(5000);
    EXPECT_TRUE(later.empty()) << "a process that started after the query gets nothing";
}

TEST_F(WmiInfo, ClientIdIsStableAndClientScanIdFollowsTheTime)
{
    WMIInfoExtractor first(wmi, paths, clock);
    ASSERT_TRUE(first.collectScanWide());
    clock.fileTime += 10000000ULL;  // one second later
    WMIInfoExtractor second(wmi, paths, clock);
    ASSERT_TRUE(second.collectScanWide());

    // MD5 over the UTF-16LE of "" "BFEBFBFF000006F2" "x86 Family 6" "5.1.2600".
    EXPECT_EQ(first.scanWideTable().at(u"ClientId"), u"88addb3da38d1a67ef4a1a09d4fefa45");
    // Then over ClientId, rand() after srand(1765397933 s since 1970), and the
    // time's high and low words: "8770", "31222290", "878082192".
    EXPECT_EQ(first.scanWideTable().at(u"ClientScanId"), u"66ca680496da1092e946200fcde2fb6c");
    EXPECT_EQ(first.scanWideTable().at(u"ClientId"), second.scanWideTable().at(u"ClientId"));
    EXPECT_NE(first.scanWideTable().at(u"ClientScanId"), second.scanWideTable().at(u"ClientScanId"));

    wmi.stage(kProcessors, {{{u"Caption", u"one"}, {u"ProcessorId", u"A"}}, {{u"Caption", u"two"}, {u"ProcessorId", u"B"}}});
    WMIInfoExtractor otherMachine(wmi, paths, clock);
    ASSERT_TRUE(otherMachine.collectScanWide());
    EXPECT_EQ(otherMachine.scanWideTable().at(u"ProcessorId"), u"A,B");
    EXPECT_NE(otherMachine.scanWideTable().at(u"ClientId"), first.scanWideTable().at(u"ClientId"));
}

TEST_F(WmiInfo, OwnPeakWorkingSetSizeAsksForTheOwnProcess)
{
    WMIInfoExtractor extractor(wmi, paths, clock);
    const std::u16string query = u"SELECT PeakWorkingSetSize FROM Win32_Process WHERE ProcessId=4242";
    EXPECT_EQ(extractor.ownPeakWorkingSetSize(), -1) << "no object";
    wmi.stage(query, {{{u"PeakWorkingSetSize", u"  +20480 kB"}}});
    EXPECT_EQ(extractor.ownPeakWorkingSetSize(), 20480);
    wmi.stage(query, {{{u"PeakWorkingSetSize", u"0"}}});
    EXPECT_EQ(extractor.ownPeakWorkingSetSize(), 0);
    for (const char16_t* unread : {u"", u"  ", u"+", u"-+1", u"n/a"}) {
        wmi.stage(query, {{{u"PeakWorkingSetSize", unread}}});
        EXPECT_EQ(extractor.ownPeakWorkingSetSize(), -1) << "no number is no reading";
    }
    wmi.fail(query);
    EXPECT_EQ(extractor.ownPeakWorkingSetSize(), -1);
    EXPECT_EQ(wmi.queries.back(), query);
}

namespace {

const std::u16string kUserStartup = u"C:\\Documents and Settings\\Owner\\Start Menu\\Programs\\Startup";
const std::u16string kCommonStartup = u"C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Startup";
const std::u16string kApp = u"C:\\Program Files\\App\\app.exe";

WmiObject startupEntry(std::u16string caption, std::u16string command, std::u16string location, std::u16string user)
{
    return {{u"Caption", std::move(caption)},
            {u"Command", std::move(command)},
            {u"Location", std::move(location)},
            {u"Name", u"ignored"},
            {u"User", std::move(user)}};
}

// The startup values extract() stores for `path`.
ProcessRecord startupKeysOf(WMIInfoExtractor& extractor, const std::u16string& path)
{
    ProcessRecord record;
    extractor.bind(&record);
    extractor.extract(path);
    extractor.bind(nullptr);
    return record;
}

}  // namespace

TEST_F(WmiInfo, ShortcutInTheUserStartupFolderNamesItsTargetAsAnExtraFile)
{
    pathSystem.addFile(kApp).addShortcut(kUserStartup + u"\\App.lnk", kApp);
    wmi.stage(kStartup, {startupEntry(u"App", u"  App.lnk ", u"Startup", u"PC\\Owner")});
    WMIInfoExtractor extractor(wmi, paths, clock);
    ASSERT_TRUE(extractor.collectScanWide());

    EXPECT_EQ(extractor.extraFiles(), std::set<std::u16string>{kApp});
    const ProcessRecord record = startupKeysOf(extractor, kApp);
    EXPECT_EQ(*record.find(keys::kWmiStartupLocation), kUserStartup);
    EXPECT_EQ(*record.find(keys::kWmiProcessDescription), u"App");
    EXPECT_EQ(*record.find(keys::kWmiUserUsedForStartup), u"2");
    EXPECT_EQ(record.size(), 3u);

    EXPECT_TRUE(startupKeysOf(extractor, u"C:\\program files\\app\\app.exe").empty())
        << "a path that differs in letter case does not match";
}

TEST_F(WmiInfo, StartupEntriesResolveOnceAndTheFirstForAPathWins)
{
    const std::u16string tool = kCommonStartup + u"\\tool.exe";
    const std::u16string settings = u"C:\\Program Files\\App\\settings.ini";
    pathSystem.addFile(kApp).addFile(tool).addFile(settings);
    wmi.stage(kStartup,
              {startupEntry(u"first", u"\"" + kApp + u"\" /tray", u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run",
                            u"NT AUTHORITY\\SYSTEM"),
               startupEntry(u"second", u"%ProgramFiles%\\App\\app.exe -again", u"HKU\\S-1-5-19\\Run", u"All Users"),
               startupEntry(u"ini", u"%ProgramFiles%\\App\\settings.ini", u"HKCU\\Run", u"All Users"),
               startupEntry(u"tool", u"tool.exe", u"Common Startup", u"All Users"),
               startupEntry(u"missing", u"missing.exe /x", u"HKLM\\Run", u"All Users"),
               startupEntry(u"blank", u"   ", u"Startup", u"All Users"),
               startupEntry(u"plain", u"C:\\WINDOWS\\system32\\notepad.exe", u"%USERPROFILE%\\Run", u"")});
    fakes::TraceCapture trace;
    WMIInfoExtractor extractor(wmi, paths, clock);
    ASSERT_TRUE(extractor.collectScanWide());

    EXPECT_EQ(extractor.extraFiles(),
              (std::set<std::u16string>{kApp, tool, u"C:\\WINDOWS\\system32\\notepad.exe"}))
        << "the .ini file and the unresolved command stay out; the app is there once";
    EXPECT_EQ(trace.texts, std::vector<std::u16string>{
                          u"Failed to locate filename for command: missing.exe /x, at location HKLM\\Run"});

    const ProcessRecord app = startupKeysOf(extractor, kApp);
    EXPECT_EQ(*app.find(keys::kWmiProcessDescription), u"first");
    EXPECT_EQ(*app.find(keys::kWmiUserUsedForStartup), u"3");
    EXPECT_EQ(*app.find(keys::kWmiStartupLocation), u"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run");

    const ProcessRecord common = startupKeysOf(extractor, tool);
    EXPECT_EQ(*common.find(keys::kWmiUserUsedForStartup), u"1");
    EXPECT_EQ(*common.find(keys::kWmiStartupLocation), kCommonStartup);

    const ProcessRecord plain = startupKeysOf(extractor, u"C:\\WINDOWS\\system32\\notepad.exe");
    EXPECT_EQ(*plain.find(keys::kWmiUserUsedForStartup), u"2") << "an empty user";
    EXPECT_EQ(*plain.find(keys::kWmiStartupLocation), u"C:\\Documents and Settings\\Owner\\Run")
        << "other locations have their environment tokens expanded";

    EXPECT_TRUE(startupKeysOf(extractor, settings).empty());
}
