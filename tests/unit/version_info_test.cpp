#include <gtest/gtest.h>

#include "core/base/keys.h"
#include "core/extractors/version_info.h"
#include "tests/fakes/fake_version_resources.h"

using namespace zorvane;
using zorvane::fakes::FakeVersionResources;

namespace {

class VersionInfoTest : public ::testing::Test {
protected:
    ProcessRecord extract(const std::u16string& path)
    {
        ProcessRecord record;
        extractor.bind(&record);
        extractor.extract(path);
        return record;
    }

    FakeVersionResources fake;
    VersionInfoExtractor extractor{fake};
};

const std::u16string kFile = u"C:\\app.exe";

}  // namespace

TEST_F(VersionInfoTest, StoresVersionsStringsAndLanguageOfTheFirstTranslation)
{
    fake.stage(kFile)
        .fileVersion(0x00010002, 0x00030004)
        .productVersion(0xFFFFFFFF, 0x0000FFFF)
        .translation(0x0409, 0x04b0)
        .translation(0x0407, 0x04e4)
        .string(u"040904b0", u"CompanyName", u"Maker")
        .string(u"040904b0", u"FileVersion", u"1.2.3.4")
        .string(u"040704e4", u"CompanyName", u"Hersteller")
        .string(u"040704e4", u"ProductName", u"Produkt");
    const ProcessRecord record = extract(kFile);

    EXPECT_EQ(*record.find(keys::kVerBinaryFileVersion), u"1.2.3.4");
    EXPECT_EQ(*record.find(keys::kVerBinaryProductVersion), u"65535.65535.0.65535");
    EXPECT_EQ(*record.find(keys::kVerCompanyName), u"Maker");
    EXPECT_EQ(*record.find(keys::kVerFileVersion), u"1.2.3.4");
    EXPECT_FALSE(record.contains(keys::kVerProductName)) << "no fallback to the second translation";
    EXPECT_EQ(*record.find(keys::kVerLanguageCodepage), u"040904b0");
    EXPECT_EQ(record.size(), 5u);

    ASSERT_EQ(fake.queriedSubBlocks.size(), 12u);
    EXPECT_EQ(fake.queriedSubBlocks.front(), u"\\StringFileInfo\\040904b0\\Comments");
    EXPECT_EQ(fake.queriedSubBlocks.back(), u"\\StringFileInfo\\040904b0\\SpecialBuild");
    EXPECT_EQ(fake.openBlocks, 0) << "the block is released when extract ends";
}

TEST_F(VersionInfoTest, StringFieldsLoseTrailingSpacesAndEndAtTheirFirstZero)
{
    const std::u16string kTranslation = u"0c0a04e4";
    fake.stage(kFile)
        .translation(0x0c0a, 0x04e4)
        .string(kTranslation, u"Comments", u"    ")
        .string(kTranslation, u"InternalName", std::u16string(u"name\0\0\0", 7))
        .string(kTranslation, u"ProductName", std::u16string(u"  lead \0 \0", 10))
        .string(kTranslation, u"CompanyName", std::u16string(u"mid\0dle", 7))
        .string(kTranslation, u"FileDescription", std::u16string(u"\0\x0001\x0018" u"FileVersion", 14))
        .string(kTranslation, u"LegalCopyright", u"")
        .string(kTranslation, u"ProductVersion", u"tab\t");
    const ProcessRecord record = extract(kFile);

    EXPECT_EQ(*record.find(keys::kVerComments), u"");
    EXPECT_EQ(*record.find(keys::kVerInternalName), u"name");
    EXPECT_EQ(*record.find(keys::kVerProductName), u"  lead");
    EXPECT_EQ(*record.find(keys::kVerCompanyName), u"mid");
    EXPECT_EQ(*record.find(keys::kVerFileDescription), u"") << "what follows the terminator is not text";
    EXPECT_EQ(*record.find(keys::kVerLegalCopyright), u"");
    EXPECT_EQ(*record.find(keys::kVerProductVersion), u"tab\t");
    EXPECT_FALSE(record.contains(keys::kVerBinaryFileVersion)) << "no fixed information staged";
    EXPECT_EQ(*record.find(keys::kVerLanguageCodepage), kTranslation);
}

TEST_F(VersionInfoTest, FieldsOf1024CharactersAfterTrimmingAreLeftOut)
{
    const std::u16string kTranslation = u"040904b0";
    fake.stage(kFile)
        .translation(0x0409, 0x04b0)
        .string(kTranslation, u"Comments", std::u16string(1023, u'c'))
        .string(kTranslation, u"InternalName", std::u16string(1024, u'i'))
        .string(kTranslation, u"ProductName", std::u16string(1023, u'p') + u"     ")
        .string(kTranslation, u"SpecialBuild", std::u16string(40000, u's'));
    const ProcessRecord record = extract(kFile);

    EXPECT_EQ(record.find(keys::kVerComments)->size(), 1023u);
    EXPECT_FALSE(record.contains(keys::kVerInternalName));
    EXPECT_EQ(record.find(keys::kVerProductName)->size(), 1023u);
    EXPECT_FALSE(record.contains(keys::kVerSpecialBuild));
}

TEST_F(VersionInfoTest, MissingPartsLeaveOnlyTheirKeysOut)
{
    fake.stage(u"C:\\fixed-only.dll").fileVersion(0x00050001, 0x0A280000).productVersion(0, 0);
    const ProcessRecord fixedOnly = extract(u"C:\\fixed-only.dll");
    EXPECT_EQ(*fixedOnly.find(keys::kVerBinaryFileVersion), u"5.1.2600.0");
    EXPECT_EQ(*fixedOnly.find(keys::kVerBinaryProductVersion), u"0.0.0.0");
    EXPECT_EQ(fixedOnly.size(), 2u) << "no translation: no strings and no language";

    fake.stage(u"C:\\strings-only.dll").translation(0, 0).string(u"00000000", u"FileDescription", u"d");
    const ProcessRecord stringsOnly = extract(u"C:\\strings-only.dll");
    EXPECT_EQ(*stringsOnly.find(keys::kVerFileDescription), u"d");
    EXPECT_EQ(*stringsOnly.find(keys::kVerLanguageCodepage), u"00000000");
    EXPECT_EQ(stringsOnly.size(), 2u);

    EXPECT_TRUE(extract(u"C:\\no-resource.exe").empty());
}
