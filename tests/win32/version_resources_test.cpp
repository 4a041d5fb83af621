// Version resources read through version.dll under Wine.
#include <gtest/gtest.h>

#include <algorithm>

#include "client/extractors/version_resources_win32.h"
#include "core/base/keys.h"
#include "support.h"

using namespace zorvane;
using zorvane::client::Win32VersionResources;

namespace {

ProcessRecord extractVersion(const std::u16string& path)
{
    Win32VersionResources resources;
    VersionInfoExtractor extractor(resources);
    ProcessRecord record;
    extractor.bind(&record);
    extractor.extract(path);
    return record;
}

std::u16string value(const ProcessRecord& record, std::string_view key)
{
    const std::u16string* found = record.find(key);
    return found ? *found : u"<absent>";
}

}  // namespace

TEST(VersionResourcesWin32, WineDllCarriesItsVersionResource)
{
    const ProcessRecord record = extractVersion(u"C:\\windows\\system32\\kernel32.dll");
    EXPECT_EQ(value(record, keys::kVerLanguageCodepage), u"040904b0");
    EXPECT_EQ(value(record, keys::kVerCompanyName), u"Microsoft Corporation");
    EXPECT_EQ(value(record, keys::kVerOriginalFilename), u"kernel32.dll");
    const std::u16string binary = value(record, keys::kVerBinaryFileVersion);
    EXPECT_EQ(std::count(binary.begin(), binary.end(), u'.'), 3) << std::string(binary.begin(), binary.end());
    for (const auto& [key, text] : record) {
        EXPECT_TRUE(key.view().starts_with("ver.")) << key.view();
        EXPECT_TRUE(text.empty() || (text.back() != u' ' && text.back() != u'\0')) << key.view();
    }
}

TEST(VersionResourcesWin32, OwnResourceReadsBackExactly)
{
    const std::wstring path = zorvane::testing::testProgram(L"version_probe");
    const ProcessRecord record = extractVersion(std::u16string(path.begin(), path.end()));

    EXPECT_EQ(value(record, keys::kVerBinaryFileVersion), u"1.2.3.65535");
    EXPECT_EQ(value(record, keys::kVerBinaryProductVersion), u"5.6.7.8");
    EXPECT_EQ(value(record, keys::kVerCompanyName), u"Zorvane Test Maker");
    EXPECT_EQ(value(record, keys::kVerComments), u"  leading spaces stay, trailing go");
    EXPECT_EQ(value(record, keys::kVerFileDescription), u"Version probe");
    EXPECT_EQ(value(record, keys::kVerInternalName), u"");
    EXPECT_EQ(value(record, keys::kVerFileVersion), u"1.2.3.65535");
    EXPECT_EQ(value(record, keys::kVerOriginalFilename), u"version_probe.exe");
    EXPECT_EQ(value(record, keys::kVerProductName), u"<absent>") << "only in the second translation";
    EXPECT_EQ(value(record, keys::kVerLanguageCodepage), u"040904b0");
    EXPECT_EQ(record.size(), 9u);
}

TEST(VersionResourcesWin32, FilesWithoutAResourceGetNoKeys)
{
    Win32VersionResources resources;
    EXPECT_EQ(resources.load(u"C:\\windows\\win.ini"), nullptr);
    EXPECT_EQ(resources.load(u"C:\\windows\\no-such-file.dll"), nullptr);
    EXPECT_TRUE(extractVersion(u"C:\\windows\\no-such-file.dll").empty());
}
