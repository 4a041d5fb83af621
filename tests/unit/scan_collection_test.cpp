// Process enumeration, file reading and the reference values, over fakes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/extractors/handle_info.h"
#include "core/extractors/path_operations.h"
#include "core/scan/conversions.h"
#include "core/scan/info_extractor.h"
#include "core/scan/keys.h"
#include "core/scan/process_collection.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_process_system.h"

using namespace zorvane;
using fakes::FakeFile;
using fakes::FakeFileSystem;
using fakes::FakeProcess;
using fakes::FakeProcessSystem;

namespace {

// Logs every event it gets as "name:event[ detail]".
class LoggingExtractor : public InfoExtractor {
public:
    LoggingExtractor(std::string_view name, std::vector<std::string>& log) : InfoExtractor(name), log_(log) {}

    void onProcess(std::uint32_t processId) override { add("process " + std::to_string(processId)); }
    void onImageBegin() override { add("begin"); }
    void onImageData(const std::uint8_t*, std::uint32_t count) override { add("data " + std::to_string(count)); }
    void onImageEnd() override { add("end"); }
    void extract(const std::u16string& path) override { add("extract " + narrowLatin1(path)); }
    void extractFromHandle(OpenFile&) override { add("handle"); }

private:
    void add(const std::string& event) { log_.push_back(name() + ":" + event); }
    std::vector<std::string>& log_;
};

struct ImageRig {
    std::vector<std::string> log;
    LoggingExtractor path{"path", log}, ver{"ver", log}, reg{"reg", log}, wmi{"wmi", log};
    LoggingExtractor handle{"handle", log}, hash{"hash", log};
    InfoExtractor* fileExtractors[4] = {&path, &ver, &reg, &wmi};
    InfoExtractor* imageConsumers[1] = {&hash};
    FakeFileSystem files;

    void read(const std::u16string& path) { readImageFile({fileExtractors, handle, imageConsumers}, files, path); }
};

const std::vector<std::string> kExtractsOfA = {"path:extract C:\\a.dll", "ver:extract C:\\a.dll",
                                               "reg:extract C:\\a.dll", "wmi:extract C:\\a.dll"};

std::vector<std::string> concat(std::vector<std::string> head, const std::vector<std::string>& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct EnumerationRig {
    PathSystem pathSystem;
    PathOperations paths{pathSystem};
    PathSet pathSet;
    ProcessesByImage byImage;

    void run(FakeProcessSystem& system) { enumerateProcesses(system, paths, pathSet, byImage); }
};

}  // namespace

TEST(ProcessEnumeration, UsesTheFixedBufferSizes)
{
    FakeProcessSystem system({{4, {u"C:\\a.exe"}}});
    EnumerationRig rig;
    rig.run(system);
    EXPECT_EQ(system.idCapacity, 2048u);
    EXPECT_EQ(system.moduleCapacity, 2048u);
    EXPECT_EQ(system.nameCapacity, 2080u);
}

TEST(ProcessEnumeration, ImageIsTheFirstReadableModuleAndTheRestFormTheModuleList)
{
    FakeProcessSystem system({
        {10, {u"C:\\app\\one.exe", u"C:\\w\\m2.dll", u"C:\\w\\m3.dll"}},
        {11, {std::nullopt, u"C:\\app\\two.exe", std::nullopt, u"C:\\w\\m2.dll"}},
        {12, {u"C:\\app\\alone.exe"}},
    });
    EnumerationRig rig;
    rig.run(system);

    ASSERT_EQ(rig.byImage.size(), 3u);
    EXPECT_EQ(rig.byImage[u"C:\\app\\one.exe"], (std::vector<ProcessEntry>{{10, u"C:\\w\\m2.dll,C:\\w\\m3.dll"}}));
    EXPECT_EQ(rig.byImage[u"C:\\app\\two.exe"], (std::vector<ProcessEntry>{{11, u"C:\\w\\m2.dll"}}));
    EXPECT_EQ(rig.byImage[u"C:\\app\\alone.exe"], (std::vector<ProcessEntry>{{12, u""}}));
    EXPECT_EQ(rig.pathSet, (PathSet{u"C:\\app\\alone.exe", u"C:\\app\\one.exe", u"C:\\app\\two.exe",
                                    u"C:\\w\\m2.dll", u"C:\\w\\m3.dll"}));
}

TEST(ProcessEnumeration, ProcessesSharingAnImageKeepEnumerationOrder)
{
    FakeProcessSystem system({{30, {u"C:\\s.exe", u"C:\\x.dll"}}, {20, {u"C:\\s.exe"}}});
    EnumerationRig rig;
    rig.run(system);
    EXPECT_EQ(rig.pathSet, (PathSet{u"C:\\s.exe", u"C:\\x.dll"}));
    EXPECT_EQ(rig.byImage[u"C:\\s.exe"], (std::vector<ProcessEntry>{{30, u"C:\\x.dll"}, {20, u""}}));
}

TEST(ProcessEnumeration, ProcessesThatCannotBeReadAreLeftOutAndEveryHandleIsClosed)
{
    FakeProcess locked{4, {u"C:\\locked.exe"}};
    locked.openable = false;
    FakeProcess unlisted{8, {u"C:\\unlisted.exe"}};
    unlisted.modulesListable = false;
    FakeProcess nameless{9, {std::nullopt, std::nullopt}};
    FakeProcessSystem system({locked, unlisted, nameless, {12, {u"C:\\ok.exe"}}});
    EnumerationRig rig;
    rig.run(system);

    EXPECT_EQ(rig.pathSet, (PathSet{u"C:\\ok.exe"}));
    EXPECT_FALSE(rig.byImage.contains(u"C:\\locked.exe"));
    EXPECT_FALSE(rig.byImage.contains(u"C:\\unlisted.exe"));
    // No readable name: an entry under the empty path, which is not a file to scan.
    EXPECT_EQ(rig.byImage[u""], (std::vector<ProcessEntry>{{9, u""}}));
    EXPECT_EQ(system.openHandles, 0);
}

TEST(ProcessEnumeration, FailedProcessListChangesNothing)
{
    FakeProcessSystem system({{4, {u"C:\\a.exe"}}});
    system.enumerationFails = true;
    EnumerationRig rig;
    rig.pathSet.insert(u"C:\\kept.dll");
    rig.run(system);
    EXPECT_EQ(rig.pathSet, (PathSet{u"C:\\kept.dll"}));
    EXPECT_TRUE(rig.byImage.empty());
}

TEST(ImageFile, OpenPathIsTheLongFormForDriveAndNetworkPaths)
{
    EXPECT_EQ(makeOpenPath(u"C:\\Windows\\notepad.exe"), u"\\\\?\\C:\\Windows\\notepad.exe");
    EXPECT_EQ(makeOpenPath(u"\\\\server\\share\\a.dll"), u"\\\\?\\UNC\\server\\share\\a.dll");
    EXPECT_EQ(makeOpenPath(u"\\\\?\\D:\\x.dll"), u"\\\\?\\D:\\x.dll");
    EXPECT_EQ(makeOpenPath(u""), u"\\\\?\\");
}

TEST(ImageFile, EventsFollowTheFixedCallingOrder)
{
    ImageRig rig;
    rig.files.add(u"C:\\a.dll", FakeFile::ofSize(10));
    rig.read(u"C:\\a.dll");
    EXPECT_EQ(rig.log, concat(kExtractsOfA, {"handle:handle", "hash:begin", "hash:data 10", "hash:end"}));
    EXPECT_EQ(rig.files.opensOf(u"C:\\a.dll"), 1);
    EXPECT_EQ(rig.files.openHandles, 0);
}

TEST(ImageFile, FilesAreReadInBlocksOf64KiB)
{
    const struct {
        std::size_t size;
        std::vector<std::string> data;
    } cases[] = {
        {0, {}},
        {1, {"hash:data 1"}},
        {65536, {"hash:data 65536"}},
        {65537, {"hash:data 65536", "hash:data 1"}},
        {3 * 65536, {"hash:data 65536", "hash:data 65536", "hash:data 65536"}},
    };
    for (const auto& c : cases) {
        ImageRig rig;
        rig.files.add(u"C:\\a.dll", FakeFile::ofSize(c.size));
        rig.read(u"C:\\a.dll");
        std::vector<std::string> expected = concat(kExtractsOfA, {"handle:handle", "hash:begin"});
        expected = concat(expected, c.data);
        expected.push_back("hash:end");
        EXPECT_EQ(rig.log, expected) << "size " << c.size;
    }
}

TEST(ImageFile, FilesThatCannotBeReadGetOnlyTheExtractCalls)
{
    FakeFile noInformation = FakeFile::ofSize(5);
    noInformation.informationFails = true;
    const struct {
        const char* what;
        std::optional<FakeFile> file;
    } cases[] = {
        {"missing or locked", std::nullopt},
        {"directory", FakeFile::directoryEntry()},
        {"no information", noInformation},
    };
    for (const auto& c : cases) {
        ImageRig rig;
        if (c.file)
            rig.files.add(u"C:\\a.dll", *c.file);
        rig.read(u"C:\\a.dll");
        EXPECT_EQ(rig.log, kExtractsOfA) << c.what;
        EXPECT_EQ(rig.files.opensOf(u"C:\\a.dll"), 1) << c.what;
        EXPECT_EQ(rig.files.openHandles, 0) << c.what;
    }
}

TEST(ImageFile, ReadErrorEndsTheDataButStillEndsTheImage)
{
    ImageRig rig;
    FakeFile file = FakeFile::ofSize(3 * 65536);
    file.failReadsAfter = 1;
    rig.files.add(u"C:\\a.dll", file);
    rig.read(u"C:\\a.dll");
    EXPECT_EQ(rig.log, concat(kExtractsOfA, {"handle:handle", "hash:begin", "hash:data 65536", "hash:end"}));
}

TEST(ReferenceValues, StartupMethodPrefersServiceThenStartupCommandThenParent)
{
    const std::u16string service = u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler";
    const struct {
        std::u16string location, startup, parent;
        const char16_t* expected;  // null: not written
    } cases[] = {
        {service, u"HKCU\\...\\Run", u"4", u"2"},
        {u"HKLM\\system\\currentcontrolset\\services\\x", u"", u"4", u"1"},  // case-sensitive
        {u"HKLM\\Software\\Approved", u"Startup", u"4", u"3"},
        {u"", u"", u"4", u"1"},
        {u"", u"", u"", nullptr},
    };
    for (const auto& c : cases) {
        ProcessRecord record;
        if (!c.location.empty())
            record[keys::kRegLocation] = c.location;
        if (!c.startup.empty())
            record[keys::kWmiStartupLocation] = c.startup;
        if (!c.parent.empty())
            record[keys::kWmiParentProcessId] = c.parent;
        deriveStartupMethod(record);
        if (c.expected)
            EXPECT_EQ(record[keys::kRefStartupMethod], c.expected);
        else
            EXPECT_FALSE(record.contains(keys::kRefStartupMethod));
        // The three inputs are read by index access and so are present afterwards.
        EXPECT_TRUE(record.contains(keys::kRegLocation) && record.contains(keys::kWmiStartupLocation) &&
                    record.contains(keys::kWmiParentProcessId));
    }
}

TEST(ReferenceValues, NetworkUsageRanksInternetAboveLocalClasses)
{
    const struct {
        const char16_t* ports;
        const char16_t* expected;
    } cases[] = {
        {u"TCP:80:LOOPBACK,TCP:443:INTERNET", u"2"},
        {u"UDP:53:DEFAULT", u"2"},
        {u"UDP:137:BROADCAST", u"1"},
        {u"TCP:445:ETHERNET", u"1"},
        {u"TCP:1025:LOOPBACK", u"1"},
        {u"TCP:1025:loopback", nullptr},
        {u"", nullptr},
    };
    for (const auto& c : cases) {
        ProcessRecord record;
        record[keys::kNetNetworkPorts] = c.ports;
        deriveNetworkUsage(record);
        if (c.expected)
            EXPECT_EQ(record[keys::kRefNetworkUsage], c.expected) << narrowLatin1(c.ports);
        else
            EXPECT_FALSE(record.contains(keys::kRefNetworkUsage)) << narrowLatin1(c.ports);
    }
}

TEST(ReferenceValues, MemoryUsageIsTheWorkingSetShareOfVisibleMemory)
{
    const struct {
        const char16_t* workingSet;
        double visibleKilobytes;
        const char16_t* expected;
    } cases[] = {
        {u"10485760", 1024000, u"0.010000"},
        // 3 GiB of 4 GiB: a 32-bit reading would saturate at 2 GiB.
        {u"3221225472", 4194304, u"0.750000"},
        {u"0", 1024000, u"0.000000"},
        {u"10485760", 0, nullptr},
        {u"", 1024000, nullptr},
    };
    for (const auto& c : cases) {
        ProcessRecord record;
        record[keys::kWmiWorkingSetSize] = c.workingSet;
        deriveMemoryUsage(record, c.visibleKilobytes);
        if (c.expected)
            EXPECT_EQ(record[keys::kRefMemoryUsage], c.expected) << narrowLatin1(c.workingSet);
        else
            EXPECT_FALSE(record.contains(keys::kRefMemoryUsage)) << narrowLatin1(c.workingSet);
    }
}

TEST(HandleInfo, StoresTheFull64BitSizeFromTheHandle)
{
    const struct {
        std::uint64_t size;
        const char16_t* expected;
    } cases[] = {{0, u"0"}, {65537, u"65537"}, {4294967296ull + 1, u"4294967297"}};
    for (const auto& c : cases) {
        FakeFileSystem files;
        FakeFile file;
        file.reportedSize = c.size;
        files.add(u"C:\\big.bin", file);
        auto open = files.openForScan(makeOpenPath(u"C:\\big.bin"));
        ASSERT_TRUE(open);
        ProcessRecord record;
        HandleInfoExtractor extractor;
        extractor.bind(&record);
        extractor.extractFromHandle(*open);
        EXPECT_EQ(record[keys::kHandleFileSize], c.expected);
        EXPECT_FALSE(record.contains(keys::kError));
    }
}

TEST(HandleInfo, UnreadableSizeLeavesAnEmptyValueAndTheHandleInTheError)
{
    FakeFileSystem files;
    FakeFile file = FakeFile::ofSize(4);
    file.informationFails = true;
    files.add(u"C:\\a.dll", file);
    auto open = files.openForScan(makeOpenPath(u"C:\\a.dll"));
    ASSERT_TRUE(open);
    ProcessRecord record;
    HandleInfoExtractor extractor;
    extractor.bind(&record);
    extractor.extractFromHandle(*open);
    ASSERT_TRUE(record.contains(keys::kHandleFileSize));
    EXPECT_EQ(record[keys::kHandleFileSize], u"");
    EXPECT_EQ(record[keys::kError],
              u"handle:GetFileInformationByHandle failed for handle " + widenLatin1(std::to_string(open->handleValue())));
}
