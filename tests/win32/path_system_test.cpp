// The Win32 path system against Wine's own prefix.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <shobjidl.h>

#include "client/extractors/adapters.h"
#include "client/extractors/path_system_win32.h"
#include "client/win32/unique_com.h"
#include "client/win32/wide.h"
#include "core/base/keys.h"
#include "core/extractors/path_info.h"

using namespace zorvane;
using zorvane::client::Win32PathSystem;

namespace {

std::u16string lowered(std::u16string text)
{
    PathOperations::toLowerAscii(text);
    return text;
}

std::string narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// Writes a shell link to `target` at `linkPath`; COM must be initialised.
bool createShortcut(const std::u16string& linkPath, const std::u16string& target)
{
    win32::ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.putVoid())))
        return false;
    if (FAILED(link->SetPath(win32::wide(target))))
        return false;
    win32::ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.putVoid())))
        return false;
    return SUCCEEDED(file->Save(win32::wide(linkPath), TRUE));
}

}  // namespace

TEST(PathSystemWin32, SpecialFoldersOfTheWinePrefixGeneraliseSystemFiles)
{
    Win32PathSystem system;
    PathOperations paths(system);
    EXPECT_EQ(lowered(paths.specialFolderPath(u"windir")), u"c:\\windows");
    EXPECT_EQ(lowered(paths.specialFolderPath(u"system")), u"c:\\windows\\system32");
    EXPECT_EQ(lowered(paths.specialFolderPath(u"programfiles")), u"c:\\program files");
    EXPECT_EQ(lowered(paths.specialFolderPath(u"programfilescommon")), u"c:\\program files\\common files");
    for (const SpecialFolder& folder : paths.specialFolders()) {
        ASSERT_FALSE(folder.path.empty()) << narrow(std::u16string(folder.name));
        EXPECT_NE(folder.path.back(), u'\\') << narrow(folder.path);
    }

    std::u16string file = u"C:\\windows\\system32\\kernel32.dll";
    paths.generalisePath(file);
    EXPECT_EQ(file, u"%system%\\kernel32.dll");

    ProcessRecord record;
    PathInfoExtractor extractor(paths);
    extractor.bind(&record);
    extractor.extract(u"C:\\windows\\system32\\kernel32.dll");
    EXPECT_EQ(*record.find(keys::kPathFile), u"kernel32.dll");
    EXPECT_EQ(*record.find(keys::kPathPath), u"c:\\windows\\system32");
    EXPECT_EQ(*record.find(keys::kPathLPath), u"%system%");
}

TEST(PathSystemWin32, KernelPathCallsReportFailuresAsNone)
{
    Win32PathSystem system;
    EXPECT_EQ(system.driveType(u"C:\\"), DriveType::Fixed);
    const std::optional<std::u16string> temp = system.tempPath();
    ASSERT_TRUE(temp);
    EXPECT_EQ(temp->back(), u'\\');
    EXPECT_TRUE(system.longPathName(u"C:\\windows\\system32\\kernel32.dll"));
    EXPECT_FALSE(system.longPathName(u"C:\\windows\\no-such-file.dll"));
    for (const std::size_t length : {1030u, 2100u, 40000u})
        EXPECT_FALSE(system.longPathName(u"C:\\" + std::u16string(length, u'a'))) << length;

    ASSERT_TRUE(SetEnvironmentVariableW(L"ZORVANE_EMPTY", L""));
    EXPECT_EQ(system.environmentVariable(u"ZORVANE_EMPTY"), std::u16string());
    EXPECT_FALSE(system.environmentVariable(u"ZORVANE_NO_SUCH_VARIABLE"));
    const std::u16string longValue(5000, u'v');
    ASSERT_TRUE(SetEnvironmentVariableW(L"ZORVANE_LONG", win32::wide(longValue)));
    EXPECT_EQ(system.environmentVariable(u"zorvane_long"), longValue);
}

TEST(PathSystemWin32, SearchAndCommandResolutionFindWineFiles)
{
    PathOperations& paths = client::processPathOperations();
    std::u16string notepad = u"notepad";
    ASSERT_TRUE(paths.searchExecutable(notepad));
    EXPECT_EQ(lowered(notepad), u"c:\\windows\\system32\\notepad.exe");

    std::u16string command = u"%SystemRoot%\\system32\\notepad.exe /p readme.txt";
    ASSERT_TRUE(paths.resolveCommandFile(command));
    EXPECT_EQ(lowered(command), u"c:\\windows\\system32\\notepad.exe");

    std::u16string rundll = u"rundll32.exe shell32.dll,Control_RunDLL";
    ASSERT_TRUE(paths.resolveCommandFile(rundll));
    EXPECT_EQ(lowered(rundll), u"c:\\windows\\system32\\shell32.dll");

    std::u16string missing = u"rundll32.exe zorvane-missing.dll,Entry";
    EXPECT_FALSE(paths.resolveCommandFile(missing));
    EXPECT_EQ(missing, u"rundll32.exe zorvane-missing.dll,Entry");
}

TEST(PathSystemWin32, ShortcutCreatedHereResolvesToItsTarget)
{
    win32::CoInitGuard com;
    ASSERT_TRUE(com.ok());
    Win32PathSystem system;
    PathOperations paths(system);

    const std::u16string folder = paths.specialFolderPath(u"temp");
    ASSERT_FALSE(folder.empty());
    const std::u16string link = folder + u"\\zorvane-path-test.lnk";
    const std::u16string target = paths.specialFolderPath(u"system") + u"\\notepad.exe";
    ASSERT_TRUE(createShortcut(link, target));

    std::u16string resolved = link;
    const bool ok = paths.resolveShortcut(resolved, resolved);
    DeleteFileW(win32::wide(link));
    ASSERT_TRUE(ok);
    EXPECT_EQ(lowered(resolved), lowered(target));

    std::u16string unchanged = u"x";
    EXPECT_FALSE(paths.resolveShortcut(folder + u"\\zorvane-no-such.lnk", unchanged));
    EXPECT_EQ(unchanged, u"x");
}
