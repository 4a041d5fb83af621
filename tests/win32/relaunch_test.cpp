// The Win32 side of the hand-over to the carried 64-bit client: the private
// folder, the written and re-read image, the child run with a command line
// and its exit code, and the clean-up.
#include <gtest/gtest.h>

#include <windows.h>

#include "client/app/relaunch_win32.h"
#include "client/win32/wide.h"
#include "support.h"

using namespace zorvane;

TEST(RelaunchWin32, RunsAWrittenImageFromAPrivateFolderAndRemovesBoth)
{
    const auto system = client::makeRelaunchSystem();
#if defined(_WIN64)
    EXPECT_FALSE(system->runsUnderWow64());
#endif
    const auto read = system->readWholeFile(win32::fromWide(zorvane::testing::testProgram(L"launch_recorder").c_str()));
    ASSERT_TRUE(read);
    const std::vector<std::uint8_t> image = *read;
    ASSERT_GT(image.size(), 1000u);

    const auto folder = system->createPrivateFolder();
    ASSERT_TRUE(folder);
    const auto second = system->createPrivateFolder();
    ASSERT_TRUE(second);
    EXPECT_NE(*folder, *second) << "each call makes a fresh folder";
    EXPECT_TRUE(system->removeFolder(*second));

    const std::u16string program = *folder + u"\\launcher.exe";
    ASSERT_TRUE(system->writeNewFile(program, image));
    EXPECT_FALSE(system->writeNewFile(program, image)) << "an existing file is never overwritten";
    EXPECT_EQ(system->readWholeFile(program), image);

    const std::wstring marker = std::wstring(win32::wide(*folder)) + L"\\ran.txt";
    SetEnvironmentVariableW(L"ZORVANE_LAUNCH_MARKER", marker.c_str());
    const auto exitCode = system->runAndWait(program, childCommandLine(program, u"/skipfast /port=8"));
    SetEnvironmentVariableW(L"ZORVANE_LAUNCH_MARKER", nullptr);
    ASSERT_EQ(exitCode, std::optional<std::uint32_t>(0));
    const auto ran = system->readWholeFile(win32::fromWide(marker.c_str()));
    ASSERT_TRUE(ran);
    const std::wstring line(reinterpret_cast<const wchar_t*>(ran->data()), ran->size() / sizeof(wchar_t));
    EXPECT_NE(line.find(L"launcher.exe\" /skipfast /port=8"), std::wstring::npos);
    DeleteFileW(marker.c_str());

    EXPECT_FALSE(system->runAndWait(*folder + u"\\absent.exe", u"absent.exe"));
    EXPECT_TRUE(system->deleteFile(program));
    EXPECT_TRUE(system->removeFolder(*folder));
    EXPECT_EQ(GetFileAttributesW(win32::wide(*folder)), INVALID_FILE_ATTRIBUTES);
}
