// Process enumeration, file reading and the reference values, over fakes.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/extractors/handle_info.h"
#include "core/extractors/info_extractor.h"
#include "core/extractors/path_operations.h"
#include "core/scan/process_collection.h"
#include "tests/fakes/fake_file_system.h"
#include "tests/fakes/fake_path_system.h"
#include "tests/fakes/fake_process_system.h"

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
    std::unique_ptr<ImageBlock> block = std::make_unique<ImageBlock>();

    void read(const std::u16string& imagePath)
    {
        readImageFile({fileExtractors, handle, imageConsumers}, files, imagePath, *block);
    }
};

const std::vector<std::string> kExtractsOfA = {"path:extract C:\\a.dll", "ver:extract C:\\a.dll",
                                               "reg:extract C:\\a.dll", "wmi:extract C:\\a.dll"};

std::vector<std::string> concat(std::vector<std::string> head, const std::vector<std::string>& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct EnumerationRig {
    fakes::FakePathSystem pathSystem;
    PathOperations paths{pathSystem};
    PathSet pathSet;
    ProcessesByImage byImage;

    void run(FakeProcessSystem& system) { enumerateProcesses(system, paths, pathSet, byImage); }
};

}  // namespace

TEST(ProcessEnumeration, ImageIsTheFirstReadableModuleAndTheRestFormTheModuleList)
{
    FakeProcessSystem system({
        {10, {u"C:\\app\\one.exe", u"C:\\w\\m2.dll", u"C:\\w\\m3.dll"}},
        {11, {std::nullopt, u"C:\\app\\two.exe", std::nullopt, u"C:\\w\\m2.dll"}},
        {9, {u"C:\\app\\one.exe"}},
    });
    EnumerationRig rig;
    rig.run(system);

    EXPECT_EQ(rig.byImage, (ProcessesByImage{
                               {u"C:\\app\\one.exe", {{10, u"C:\\w\\m2.dll,C:\\w\\m3.dll"}, {9, u""}}},
                               {u"C:\\app\\two.exe", {{11, u"C:\\w\\m2.dll"}}},
                           }));
    EXPECT_EQ(rig.pathSet, (PathSet{u"C:\\app\\one.exe", u"C:\\app\\two.exe", u"C:\\w\\m2.dll", u"C:\\w\\m3.dll"}));
    EXPECT_EQ(system.idCapacity, 2048u);
    EXPECT_EQ(system.moduleCapacity, 2048u);
    EXPECT_EQ(system.nameCapacity, 2080u);
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

TEST(ImageFile, OpenPathIsTheLongFormForDriveAndNetworkPaths)
{
    EXPECT_EQ(makeOpenPath(u"C:\\Windows\\notepad.exe"), u"\\\\?\\C:\\Windows\\notepad.exe");
    EXPECT_EQ(makeOpenPath(u"\\\\server\\share\\a.dll"), u"\\\\?\\UNC\\server\\share\\a.dll");
    EXPECT_EQ(makeOpenPath(u"\\\\?\\D:\\x.dll"), u"\\\\?\\D:\\x.dll");
    EXPECT_EQ(makeOpenPath(u""), u"\\\\?\\");
}

TEST(ImageFile, ExtractsThenHandleThenTheDataIn64KiBBlocks)
{
    const struct {
        std::size_t size;
        std::optional<int> failReadsAfter;
        std::vector<std::string> data;
    } cases[] = {
        {0, {}, {}},
        {65536, {}, {"hash:data 65536"}},
        {65537, {}, {"hash:data 65536", "hash:data 1"}},
        {3 * 65536, 1, {"hash:data 65536"}},  // a read error ends the data, not the image
    };
    for (const auto& c : cases) {
        ImageRig rig;
        FakeFile file = FakeFile::ofSize(c.size);
        file.failReadsAfter = c.failReadsAfter;
        rig.files.add(u"C:\\a.dll", file);
        rig.read(u"C:\\a.dll");
        std::vector<std::string> expected = concat(concat(kExtractsOfA, {"handle:handle", "hash:begin"}), c.data);
        expected.push_back("hash:end");
        EXPECT_EQ(rig.log, expected) << "size " << c.size;
        EXPECT_EQ(rig.files.opensOf(u"C:\\a.dll"), 1);
        EXPECT_EQ(rig.files.openHandles, 0);
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

namespace {

// Runs `derive` on a record holding `inputs` and returns the derived key's
// value, or none when it was not written.
template <typename Derive>
std::optional<std::u16string> derived(std::initializer_list<std::pair<std::string_view, std::u16string>> inputs,
                                      std::string_view key, Derive derive)
{
    ProcessRecord record;
    for (const auto& [name, value] : inputs)
        record[name] = value;
    derive(record);
    const std::u16string* value = record.find(key);
    return value ? std::optional(*value) : std::nullopt;
}

}  // namespace

TEST(ReferenceValues, StartupNetworkAndMemoryRules)
{
    const auto startup = [](std::u16string location, std::u16string command, std::u16string parent) {
        return derived({{keys::kRegLocation, location}, {keys::kWmiStartupLocation, command},
                        {keys::kWmiParentProcessId, parent}},
                       keys::kRefStartupMethod, deriveStartupMethod);
    };
    EXPECT_EQ(startup(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Spooler", u"Run", u"4"), u"2");
    EXPECT_EQ(startup(u"HKLM\\system\\currentcontrolset\\services\\x", u"", u"4"), u"1");
    EXPECT_EQ(startup(u"", u"Startup", u"4"), u"3");
    EXPECT_EQ(startup(u"", u"", u""), std::nullopt);

    const auto network = [](std::u16string ports) {
        return derived({{keys::kNetNetworkPorts, ports}}, keys::kRefNetworkUsage, deriveNetworkUsage);
    };
    EXPECT_EQ(network(u"TCP:80:LOOPBACK,TCP:443:INTERNET"), u"2");
    EXPECT_EQ(network(u"UDP:53:DEFAULT"), u"2");
    EXPECT_EQ(network(u"UDP:137:BROADCAST,TCP:445:ETHERNET"), u"1");
    EXPECT_EQ(network(u"TCP:1025:loopback"), std::nullopt);

    const auto memory = [](std::u16string workingSet, double visibleKilobytes) {
        return derived({{keys::kWmiWorkingSetSize, workingSet}}, keys::kRefMemoryUsage,
                       [&](ProcessRecord& record) { deriveMemoryUsage(record, visibleKilobytes); });
    };
    EXPECT_EQ(memory(u"10485760", 1024000), u"0.010000");
    EXPECT_EQ(memory(u"3221225472", 4194304), u"0.750000");  // past 2 GiB: read as 64-bit
    EXPECT_EQ(memory(u"10485760", 0), std::nullopt);
    EXPECT_EQ(memory(u"", 1024000), std::nullopt);
}

TEST(HandleInfo, StoresThe64BitSizeOrAnEmptyValueAndTheError)
{
    const struct {
        std::optional<std::uint64_t> size;  // none: the information cannot be read
        const char16_t* expected;
    } cases[] = {{0, u"0"}, {4294967296ull + 1, u"4294967297"}, {std::nullopt, u""}};
    for (const auto& c : cases) {
        FakeFileSystem files;
        FakeFile file;
        file.reportedSize = c.size;
        file.informationFails = !c.size;
        files.add(u"C:\\big.bin", file);
        const auto open = files.openForScan(makeOpenPath(u"C:\\big.bin"));
        ProcessRecord record;
        HandleInfoExtractor extractor;
        extractor.bind(&record);
        extractor.extractFromHandle(*open);
        EXPECT_EQ(record.find(keys::kHandleFileSize) ? *record.find(keys::kHandleFileSize) : u"<absent>", c.expected);
        const std::u16string error = u"handle:GetFileInformationByHandle failed for handle " +
                                     widenLatin1(std::to_string(open->handleValue()));
        EXPECT_EQ(record.find(keys::kError) ? *record.find(keys::kError) : u"", c.size ? u"" : error);
    }
}
