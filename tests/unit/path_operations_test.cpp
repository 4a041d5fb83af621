#include <gtest/gtest.h>

#include <thread>

#include "core/base/keys.h"
#include "core/extractors/path_info.h"
#include "core/extractors/path_operations.h"
#include "tests/fakes/fake_path_system.h"

using namespace zorvane;
using zorvane::fakes::FakePathSystem;

namespace {

struct Case {
    std::u16string input;
    std::u16string expected;
};

std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// Applies `operation` to a copy of each input and compares with the expected text.
template <typename Operation>
void expectRewrites(std::initializer_list<Case> cases, Operation operation)
{
    for (const Case& c : cases) {
        std::u16string text = c.input;
        operation(text);
        EXPECT_EQ(text, c.expected) << narrow(c.input);
    }
}

class PathOperationsTest : public ::testing::Test {
protected:
    FakePathSystem fake = FakePathSystem::typicalWindows();
};

}  // namespace

TEST_F(PathOperationsTest, SpecialFoldersAreTenRowsInOrderInLongFormWithoutTrailingBackslash)
{
    fake.setFolder(csidl::kProgramFiles, u"C:\\PROGRA~1\\")
        .addShortName(u"C:\\PROGRA~1", u"C:\\Program Files")
        .addDirectory(u"C:\\Program Files")
        .setFolder(csidl::kCommonDesktopDirectory, u"");
    PathOperations paths(fake);
    const auto& table = paths.specialFolders();
    const char16_t* names[] = {u"programfiles", u"programfilescommon", u"system",  u"windir",      u"desktop",
                               u"commondesktop", u"startup",           u"commonstartup", u"userprofile", u"temp"};
    for (std::size_t i = 0; i < table.size(); ++i)
        EXPECT_EQ(table[i].name, names[i]) << i;
    EXPECT_EQ(table[0].path, u"C:\\Program Files");
    EXPECT_EQ(table[5].path, u"") << "a folder Windows does not name stays empty";
    EXPECT_EQ(table[9].path, u"C:\\Documents and Settings\\Owner\\Local Settings\\Temp");
    EXPECT_EQ(paths.specialFolderPath(u"startup"), u"C:\\Documents and Settings\\Owner\\Start Menu\\Programs\\Startup");
    EXPECT_EQ(paths.specialFolderPath(u"nonesuch"), u"");
}

TEST_F(PathOperationsTest, SpecialFoldersAreFilledOnceAcrossThreads)
{
    PathOperations paths(fake);
    std::u16string first = u"c:\\windows\\system32";
    std::u16string second = u"c:\\program files";
    std::thread worker([&] { paths.generalisePath(first); });
    paths.generalisePath(second);
    worker.join();
    paths.initSpecialFolders();
    EXPECT_EQ(fake.folderQueries, 10);
    EXPECT_EQ(first, u"%system%");
    EXPECT_EQ(second, u"%programfiles%");
}

TEST_F(PathOperationsTest, GeneraliseReplacesTheLongestLeadingFolder)
{
    fake.setDriveType(u'E', DriveType::Cdrom).setDriveType(u'F', DriveType::Removable);
    PathOperations paths(fake);
    expectRewrites(
        {
            {u"c:\\windows\\system32", u"%system%"},
            {u"c:\\windows\\system32\\drivers", u"%system%\\drivers"},
            {u"c:\\windows", u"%windir%"},
            {u"c:\\windowsupdate", u"c:\\windowsupdate"},
            {u"c:\\windows\\system32x", u"%windir%\\system32x"},
            {u"c:\\program files\\common files\\microsoft shared", u"%programfilescommon%\\microsoft shared"},
            {u"c:\\program files\\app", u"%programfiles%\\app"},
            {u"C:\\DOCUMENTS AND SETTINGS\\OWNER\\start menu\\programs\\startup", u"%startup%"},
            {u"c:\\documents and settings\\owner\\local settings\\temp\\x", u"%temp%\\x"},
            {u"c:\\documents and settings\\owner\\app", u"%userprofile%\\app"},
            {u"e:\\setup", u"%cdrom%\\setup"},
            {u"e:", u"%cdrom%"},
            {u"f:\\setup", u"f:\\setup"},
            {u"c:\\tools", u"c:\\tools"},
            {u"c:", u"c:"},
            {u"setup", u"setup"},
            {u"", u""},
        },
        [&](std::u16string& text) { paths.generalisePath(text); });
}

TEST_F(PathOperationsTest, GeneraliseProbesOnlyDriveLetterPaths)
{
    PathOperations paths(fake);
    for (std::u16string text : {u"", u"setup", u"\\\\server\\share"})
        paths.generalisePath(text);
    EXPECT_EQ(fake.driveQueries, 0);
}

TEST_F(PathOperationsTest, NormaliseRewritesHowWindowsReportsPaths)
{
    fake.addFile(u"C:\\Program Files\\Long Name App\\application.exe")
        .addShortName(u"C:\\PROGRA~1", u"C:\\Program Files")
        .addShortName(u"C:\\Program Files\\LONGNA~1", u"C:\\Program Files\\Long Name App")
        .addShortName(u"C:\\Program Files\\Long Name App\\APPLIC~1.EXE",
                      u"C:\\Program Files\\Long Name App\\application.exe")
        .addFile(u"C:\\WINDOWS\\system32\\drivers\\disk.sys");
    PathOperations paths(fake);
    expectRewrites(
        {
            {u"c:\\progra~1\\longna~1\\applic~1.exe", u"C:\\Program Files\\Long Name App\\application.exe"},
            {u"\\??\\C:\\WINDOWS\\system32\\drivers\\disk.sys", u"C:\\WINDOWS\\system32\\drivers\\disk.sys"},
            {u"\\SystemRoot\\system32\\drivers\\disk.sys", u"C:\\WINDOWS\\system32\\drivers\\disk.sys"},
            {u"\\systemroot\\system32\\drivers\\disk.sys", u"\\systemroot\\system32\\drivers\\disk.sys"},
            {u"\\??\\c:\\absent.sys", u"C:\\absent.sys"},
            {u"%SystemRoot%\\system32\\drivers\\disk.sys", u"C:\\WINDOWS\\system32\\drivers\\disk.sys"},
            {u"d:\\absent\\file.exe", u"D:\\absent\\file.exe"},
            {u"\\\\server\\share\\x.exe", u"\\\\server\\share\\x.exe"},
            {u"a", u"a"},
            {u"", u""},
        },
        [&](std::u16string& text) { paths.normalisePath(text); });
}

TEST_F(PathOperationsTest, NormaliseKeepsSystemRootWhenWindowsNamesNoWindowsFolder)
{
    fake.setFolder(csidl::kWindows, u"");
    PathOperations paths(fake);
    std::u16string text = u"\\SystemRoot\\system32\\x.sys";
    paths.normalisePath(text);
    EXPECT_EQ(text, u"\\SystemRoot\\system32\\x.sys");
}

TEST_F(PathOperationsTest, ExpandReplacesKnownTokensAndContinuesAfterUnknownOnes)
{
    fake.setEnvironment(u"A", u"alpha-long-value").setEnvironment(u"LONGNAME", u"b").setEnvironment(u"EMPTY", u"");
    PathOperations paths(fake);
    expectRewrites(
        {
            {u"%A%%LONGNAME%", u"alpha-long-valueb"},
            {u"x%LONGNAME%\\%A%\\y", u"xb\\alpha-long-value\\y"},
            {u"%NOPE%\\%A%", u"%NOPE%\\alpha-long-value"},
            {u"100%\\%A%", u"100%\\%A%"},
            {u"%EMPTY%x", u"x"},
            {u"%%", u"%%"},
            {u"%A", u"%A"},
            {u"%a%", u"alpha-long-value"},
            {u"no tokens", u"no tokens"},
        },
        [&](std::u16string& text) { paths.expandEnvironmentTokens(text); });
}

TEST_F(PathOperationsTest, ExpandedValuesAreNotScannedAgainAndAreCachedForTheRun)
{
    fake.setEnvironment(u"LOOP", u"%LOOP%").setEnvironment(u"V", u"one");
    PathOperations paths(fake);
    std::u16string loop = u"%LOOP%";
    paths.expandEnvironmentTokens(loop);
    EXPECT_EQ(loop, u"%LOOP%");

    std::u16string first = u"%V%";
    paths.expandEnvironmentTokens(first);
    const int queries = fake.environmentQueries;
    fake.setEnvironment(u"V", u"two");
    std::u16string second = u"%V%";
    paths.expandEnvironmentTokens(second);
    EXPECT_EQ(second, u"one");
    EXPECT_EQ(fake.environmentQueries, queries);
}

TEST_F(PathOperationsTest, SearchExecutableNormalisesWhatItFindsAndLeavesFailuresAlone)
{
    PathOperations paths(fake);
    std::u16string found = u"notepad";
    EXPECT_TRUE(paths.searchExecutable(found));
    EXPECT_EQ(found, u"C:\\WINDOWS\\system32\\notepad.exe");

    std::u16string absent = u"nonesuch";
    EXPECT_FALSE(paths.searchExecutable(absent));
    EXPECT_EQ(absent, u"nonesuch");

    std::u16string empty;
    EXPECT_FALSE(paths.searchExecutable(empty));
    EXPECT_TRUE(fake.searchedNames.size() == 2) << "an empty name is never searched";
}

TEST_F(PathOperationsTest, ResolveCommandFindsTheFileACommandRuns)
{
    fake.addFile(u"C:\\Program Files\\My App\\app.exe")
        .addFile(u"C:\\Program Files\\My App\\helper.dll")
        .addShortName(u"C:\\PROGRA~1\\MYAPP~1", u"C:\\Program Files\\My App")
        .addFile(u"C:\\tools\\svc.exe")
        .setEnvironment(u"TOOLS", u"C:\\tools");
    PathOperations paths(fake);
    expectRewrites(
        {
            {u"\"C:\\Program Files\\My App\\app.exe\" /s /q", u"C:\\Program Files\\My App\\app.exe"},
            {u"C:\\Program Files\\My App\\app.exe /s /q", u"C:\\Program Files\\My App\\app.exe"},
            {u"  C:\\Program Files\\My App\\app.exe\t", u"C:\\Program Files\\My App\\app.exe"},
            {u"c:\\program files\\my app\\app", u"C:\\program files\\my app\\app.exe"},
            {u"%TOOLS%\\svc.exe -k netsvcs", u"C:\\tools\\svc.exe"},
            {u"\"%TOOLS%\\svc.exe\"", u"C:\\tools\\svc.exe"},
            {u"notepad.exe readme.txt", u"C:\\WINDOWS\\system32\\notepad.exe"},
            {u"rundll32.exe shell32.dll,Control_RunDLL", u"C:\\WINDOWS\\system32\\shell32.dll"},
            {u"C:\\WINDOWS\\System32\\RUNDLL32.EXE C:\\PROGRA~1\\MYAPP~1\\helper.dll,Run now",
             u"C:\\Program Files\\My App\\helper.dll"},
            {u"\"C:\\WINDOWS\\system32\\rundll32.exe\" shell32.dll,Control_RunDLL", u"C:\\WINDOWS\\system32\\shell32.dll"},
            {u"\"C:\\WINDOWS\\system32\\rundll32.exe\"   shell32.dll,Entry", u"C:\\WINDOWS\\system32\\shell32.dll"},
            {u"rundll32.exe", u"C:\\WINDOWS\\system32\\rundll32.exe"},
            {u"rundll32.exe /nocomma", u"C:\\WINDOWS\\system32\\rundll32.exe"},
            {u"rundll32.exe /first later,comma", u"C:\\WINDOWS\\system32\\rundll32.exe"},
            // DLL names with spaces, quoted or not, and without an extension.
            {u"rundll32.exe \"C:\\Program Files\\My App\\helper.dll\",Start",
             u"C:\\Program Files\\My App\\helper.dll"},
            {u"rundll32.exe  C:\\Program Files\\My App\\helper.dll,Start now",
             u"C:\\Program Files\\My App\\helper.dll"},
            {u"\"C:\\WINDOWS\\system32\\rundll32.exe\" \"C:\\Program Files\\My App\\helper\",Run",
             u"C:\\Program Files\\My App\\helper.dll"},
            {u"rundll32.exe shell32,Control_RunDLL", u"C:\\WINDOWS\\system32\\shell32.dll"},
            {u"explorer.exe", u"C:\\WINDOWS\\explorer.exe"},
        },
        [&](std::u16string& text) { EXPECT_TRUE(paths.resolveCommandFile(text)); });
}

TEST_F(PathOperationsTest, ResolveCommandFailsWithoutChangingTheCommand)
{
    PathOperations paths(fake);
    const std::u16string cases[] = {
        u"nonesuch",
        u"C:\\absent\\program.exe /a /b",
        u"rundll32.exe missing.dll,Entry",
        u"\"C:\\WINDOWS\\system32\\rundll32.exe\" missing.dll,Entry",
        u"\"C:\\WINDOWS\\system32\\rundll32.exe\" \"C:\\missing dir\\x.dll\",Entry",
        u"",
        u"   ",
        u"\"\"",
        u"\"unterminated",
    };
    for (const std::u16string& input : cases) {
        std::u16string command = input;
        EXPECT_FALSE(paths.resolveCommandFile(command));
        EXPECT_EQ(command, input);
    }
}

TEST_F(PathOperationsTest, ResolveShortcutSetsTheTargetOnlyOnSuccess)
{
    fake.addShortcut(u"C:\\Startup\\app.lnk", u"C:\\Program Files\\App\\app.exe")
        .addShortcut(u"C:\\Startup\\printers.lnk", u"");
    PathOperations paths(fake);

    std::u16string same = u"C:\\Startup\\app.lnk";
    EXPECT_TRUE(paths.resolveShortcut(same, same));
    EXPECT_EQ(same, u"C:\\Program Files\\App\\app.exe");

    std::u16string target = u"unchanged";
    EXPECT_FALSE(paths.resolveShortcut(u"C:\\Startup\\absent.lnk", target));
    EXPECT_FALSE(paths.resolveShortcut(u"C:\\Startup\\printers.lnk", target)) << "a link to no file-system path";
    EXPECT_EQ(target, u"unchanged");
}

TEST(PathText, TrimAndLowerFoldOnlyWhatTheyShould)
{
    expectRewrites(
        {
            {u" \t\r\n\v\fx y\f\v\n\r\t ", u"x y"},
            {u"   ", u""},
            {u"", u""},
            {u"\u00a0x\u00a0", u"\u00a0x\u00a0"},
        },
        [](std::u16string& text) { PathOperations::trimWhitespace(text); });
    std::u16string mixed = u"C:\\ÄÖ\\AZaz@[`{\u0130";
    PathOperations::toLowerAscii(mixed);
    EXPECT_EQ(mixed, u"c:\\ÄÖ\\azaz@[`{\u0130");
}

TEST_F(PathOperationsTest, PathInfoStoresFourFormsOfThePath)
{
    fake.setDriveType(u'E', DriveType::Cdrom);
    PathOperations paths(fake);
    PathInfoExtractor extractor(paths);
    struct Row {
        std::u16string path, file, directory, generalised;
        bool hasFile;
    };
    const Row rows[] = {
        {u"C:\\WINDOWS\\system32\\Kernel32.DLL", u"kernel32.dll", u"c:\\windows\\system32", u"%system%", true},
        {u"E:\\Setup\\SETUP.EXE", u"setup.exe", u"e:\\setup", u"%cdrom%\\setup", true},
        {u"C:\\", u"", u"c:", u"c:", true},
        {u"NOSLASH.EXE", u"", u"noslash.exe", u"noslash.exe", false},
    };
    for (const Row& row : rows) {
        ProcessRecord record;
        extractor.bind(&record);
        extractor.extract(row.path);
        EXPECT_EQ(*record.find(keys::kPathPathFull), row.path);
        EXPECT_EQ(*record.find(keys::kPathPath), row.directory);
        EXPECT_EQ(*record.find(keys::kPathLPath), row.generalised);
        ASSERT_EQ(record.contains(keys::kPathFile), row.hasFile);
        if (row.hasFile) {
            EXPECT_EQ(*record.find(keys::kPathFile), row.file);
        }
        EXPECT_EQ(record.size(), row.hasFile ? 4u : 3u);
    }
}
