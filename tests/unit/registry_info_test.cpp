#include <gtest/gtest.h>

#include <vector>

#include "core/base/keys.h"
#include "core/base/trace.h"
#include "core/extractors/registry_info.h"
#include "tests/fakes/fake_path_system.h"
#include "tests/fakes/fake_registry_reader.h"
#include "tests/fakes/trace_capture.h"

using namespace zorvane;
using fakes::FakeRegistryReader;
using fakes::TraceCapture;
using fakes::utf16Bytes;

namespace {

const std::u16string kServices = u"SYSTEM\\CurrentControlSet\\Services";
const std::u16string kApproved = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved";
constexpr auto kMachine = RegistryRoot::LocalMachine;
constexpr auto kClasses = RegistryRoot::ClassesRoot;

}  // namespace

TEST(RegistryText, ReadsUpToTheFirstZeroWithinTheReturnedBytes)
{
    EXPECT_EQ(registryText({kRegSz, utf16Bytes({u"abc"})}), u"abc");
    EXPECT_EQ(registryText({kRegSz, utf16Bytes({u"abc"}, false)}), u"abc") << "no terminator: stop at the data's end";
    auto odd = utf16Bytes({u"ab"}, false);
    odd.push_back(0x41);
    EXPECT_EQ(registryText({kRegSz, odd}), u"ab") << "a trailing half unit is dropped";
    EXPECT_EQ(registryText({kRegExpandSz, utf16Bytes({u"%SystemRoot%\\x.exe"})}), u"%SystemRoot%\\x.exe");
    EXPECT_EQ(registryText({kRegMultiSz, utf16Bytes({u"RpcSs", u"PlugPlay"})}), u"RpcSs");
    EXPECT_EQ(registryText({kRegSz, {}}), u"");
    EXPECT_EQ(registryText({kRegDword, {1, 0, 0, 0}}), std::nullopt);
    EXPECT_EQ(registryText({kRegBinary, utf16Bytes({u"abc"})}), std::nullopt);
}

TEST(RegistryStatus, FormatsTheCodeWithFiveDigitsAndTheSystemMessage)
{
    EXPECT_EQ(formatSystemError(2, u"The system cannot find the file specified.\r\n"),
              u"Error Number: 00002\r\nThe system cannot find the file specified.\r\n");
    EXPECT_EQ(formatSystemError(-2147024891, u""), u"Error Number: 2147942405\r\n");
}

TEST(RegistryWalk, KeysThatCannotBeOpenedAreTracedAndSkipped)
{
    FakeRegistryReader registry;
    registry.addKey(kMachine, kServices + u"\\Open").denyOpen(kMachine, kServices + u"\\Locked");
    registry.setText(kMachine, kServices + u"\\Open", u"DisplayName", u"Open service");
    TraceCapture trace;
    fakes::FakePathSystem pathSystem = fakes::FakePathSystem::typicalWindows();
    PathOperations paths(pathSystem);
    RegistryInfoExtractor extractor(registry, paths);

    EXPECT_TRUE(extractor.fileIndex().empty()) << "an item without a resolved file contributes nothing";
    EXPECT_EQ(registry.openKeys(), 0) << "every key opened is closed";
    ASSERT_GE(trace.texts.size(), 2u);
    EXPECT_EQ(trace.texts[0], u"Error Number: 00002\r\nThe system cannot find the file specified.\r\n")
        << "the absent approved-extensions key";
    EXPECT_TRUE(trace.contains(u"Error Number: 00005\r\n"));
}

namespace {

const std::u16string kSvchost = u"C:\\WINDOWS\\system32\\svchost.exe";
const std::u16string kApp = u"C:\\Program Files\\App\\app.exe";
const std::u16string kShell32 = u"C:\\WINDOWS\\system32\\shell32.dll";
const std::u16string kClassId = u"{5A0B7C3E-1D2F-4E6A-9B8C-7D6E5F4A3B21}";

class RegistryInfo : public ::testing::Test {
protected:
    RegistryInfo() { pathSystem.addFile(kSvchost).addFile(kApp); }

    void addService(const std::u16string& name, const std::u16string& imagePath, const std::u16string& displayName)
    {
        registry.setText(kMachine, kServices + u"\\" + name, u"ImagePath", imagePath, kRegExpandSz);
        registry.setText(kMachine, kServices + u"\\" + name, u"DisplayName", displayName);
    }

    // The "reg." values extract() stores for `path`.
    ProcessRecord valuesFor(RegistryInfoExtractor& extractor, const std::u16string& path)
    {
        ProcessRecord record;
        extractor.bind(&record);
        extractor.extract(path);
        return record;
    }

    FakeRegistryReader registry;
    fakes::FakePathSystem pathSystem = fakes::FakePathSystem::typicalWindows();
    PathOperations paths{pathSystem};
};

}  // namespace

TEST_F(RegistryInfo, ServicesSharingAHostProgramAreJoinedInEnumerationOrder)
{
    addService(u"Dhcp", u"%SystemRoot%\\system32\\svchost.exe -k netsvcs", u"DHCP Client");
    addService(u"App", u"\"" + kApp + u"\" -service", u"App Service");
    addService(u"Browser", u"%SystemRoot%\\system32\\svchost.exe -k netsvcs", u"Computer Browser");
    addService(u"Audio", u"%SystemRoot%\\system32\\svchost.exe -k audio", u"Windows Audio");
    registry.setText(kMachine, kServices + u"\\Dhcp", u"Description", u"");
    registry.setText(kMachine, kServices + u"\\Browser", u"Description", u"Maintains the list");
    registry.setMultiText(kMachine, kServices + u"\\Dhcp", u"DependOnService", {u"Tcpip", u"Afd"});
    registry.setMultiText(kMachine, kServices + u"\\App", u"DependOnService", {u"RpcSs", u"PlugPlay"});
    RegistryInfoExtractor extractor(registry, paths);

    const ProcessRecord host = valuesFor(extractor, kSvchost);
    EXPECT_EQ(*host.find(keys::kRegDisplayName), u"DHCP Client;Computer Browser;Windows Audio");
    EXPECT_EQ(*host.find(keys::kRegLocation), kServices + u"\\Dhcp;" + kServices + u"\\Browser;" + kServices +
                                                   u"\\Audio");
    EXPECT_EQ(*host.find(keys::kRegDescription), u"Maintains the list") << "an empty value adds no separator";
    EXPECT_EQ(*host.find(keys::kRegDependOnService), u"Tcpip") << "only the first dependency";

    const ProcessRecord app = valuesFor(extractor, kApp);
    EXPECT_EQ(app.size(), 3u);
    EXPECT_EQ(*app.find(keys::kRegDisplayName), u"App Service");
    EXPECT_EQ(*app.find(keys::kRegLocation), kServices + u"\\App");
    EXPECT_EQ(*app.find(keys::kRegDependOnService), u"RpcSs");

    EXPECT_TRUE(valuesFor(extractor, u"C:\\WINDOWS\\System32\\svchost.exe").empty()) << "case-different path";
    EXPECT_TRUE(valuesFor(extractor, u"C:\\WINDOWS\\system32\\notepad.exe").empty()) << "named by no item";
    EXPECT_EQ(registry.openKeys(), 0);
}

TEST_F(RegistryInfo, CommandsThatNameNoExistingFileAreDropped)
{
    addService(u"Bare", u"notepad.exe", u"bare file name");
    addService(u"Gone", u"C:\\nowhere\\gone.exe -x", u"unresolved");
    addService(u"Empty", u"", u"no image");
    registry.setText(kMachine, kServices + u"\\NoImage", u"DisplayName", u"only a name");
    RegistryInfoExtractor extractor(registry, paths);
    EXPECT_TRUE(extractor.fileIndex().empty());
}

TEST_F(RegistryInfo, ApprovedExtensionNamesItsInprocServerBeforeTheServices)
{
    const std::u16string inproc = u"CLSID\\" + kClassId + u"\\InprocServer32";
    registry.setText(kMachine, kApproved, kClassId, u"Test extension");
    registry.setText(kMachine, kApproved, u"{00000000-0000-0000-0000-000000000001}", u"class key missing");
    registry.setText(kMachine, kApproved, u"{00000000-0000-0000-0000-000000000002}", u"bare DLL name");
    registry.setText(kClasses, inproc, u"", kShell32);
    registry.setText(kClasses, inproc, u"ThreadingModel", u"Apartment");
    registry.setText(kClasses, u"CLSID\\{00000000-0000-0000-0000-000000000002}\\InprocServer32", u"", u"shell32.dll");
    addService(u"Shell", u"%SystemRoot%\\system32\\shell32.dll", u"a service on the same file");
    RegistryInfoExtractor extractor(registry, paths);

    ASSERT_EQ(extractor.fileIndex().size(), 1u);
    const ProcessRecord record = valuesFor(extractor, kShell32);
    EXPECT_EQ(*record.find(keys::kRegLocation), inproc + u";" + kServices + u"\\Shell");
    EXPECT_EQ(*record.find(keys::kRegDisplayName), u"a service on the same file");
    EXPECT_EQ(registry.openKeys(), 0);
}

TEST_F(RegistryInfo, On64BitWindowsBothViewsAreReadAndAnItemInBothIsOne)
{
    const std::u16string inproc = u"CLSID\\" + kClassId + u"\\InprocServer32";
    const std::u16string other = u"{00000000-0000-0000-0000-000000000032}";
    const std::u16string otherInproc = u"CLSID\\" + other + u"\\InprocServer32";
    const std::u16string wowShell32 = u"C:\\WINDOWS\\SysWOW64\\shell32.dll";
    pathSystem.addFile(wowShell32);
    // The same extension registered alike in both views, and one that only
    // the 32-bit view holds, whose class key the 64-bit view lacks.
    for (const auto& path : {kApproved, FakeRegistryReader::in32BitView(kApproved)})
        registry.setText(kMachine, path, kClassId, u"Both views");
    registry.setText(kClasses, inproc, u"", kShell32);
    registry.setText(kClasses, FakeRegistryReader::in32BitView(inproc), u"", kShell32);
    registry.setText(kMachine, FakeRegistryReader::in32BitView(kApproved), other, u"32-bit only");
    registry.setText(kClasses, FakeRegistryReader::in32BitView(otherInproc), u"", wowShell32);

    registry.views = {RegistryView::Bits64, RegistryView::Bits32};
    RegistryInfoExtractor both(registry, paths);
    EXPECT_EQ(*valuesFor(both, kShell32).find(keys::kRegLocation), inproc) << "one entry, not two";
    EXPECT_EQ(*valuesFor(both, wowShell32).find(keys::kRegLocation), otherInproc);

    registry.views = {RegistryView::Own};
    RegistryInfoExtractor own(registry, paths);
    EXPECT_TRUE(valuesFor(own, wowShell32).empty()) << "a 32-bit system has one view";
    EXPECT_EQ(registry.openKeys(), 0);
}

TEST_F(RegistryInfo, OddValuesAreBoundedOrLeftOutWithoutLosingTheItem)
{
    const std::u16string key = kServices + u"\\Odd";
    registry.setText(kMachine, key, u"ImagePath", kApp, kRegExpandSz);
    registry.setValue(kMachine, key, u"DisplayName", kRegSz, utf16Bytes({u"No terminator"}, false));
    registry.setValue(kMachine, key, u"Description", kRegDword, {1, 0, 0, 0});
    registry.failQueryValue(kMachine, key, u"DependOnService");
    TraceCapture trace;
    RegistryInfoExtractor extractor(registry, paths);

    const ProcessRecord record = valuesFor(extractor, kApp);
    EXPECT_EQ(*record.find(keys::kRegDisplayName), u"No terminator");
    EXPECT_FALSE(record.contains(keys::kRegDescription)) << "a number is not text";
    EXPECT_FALSE(record.contains(keys::kRegDependOnService)) << "a value that cannot be read";
    EXPECT_EQ(*record.find(keys::kRegLocation), key);
    EXPECT_TRUE(trace.contains(u"Registry value \"Description\" under " + key + u" is not text (type 4); left out."));
    EXPECT_TRUE(trace.contains(u"Error Number: 00005\r\n"));
}
