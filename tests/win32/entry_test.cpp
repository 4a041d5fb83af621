// The real program entry under Wine: one copy at a time.
#include <gtest/gtest.h>

#include "support.h"

using namespace zorvane::testing;

namespace {

BOOL CALLBACK findMessageText(HWND child, LPARAM out)
{
    wchar_t buffer[256];
    GetWindowTextW(child, buffer, 256);
    if (lstrcmpW(buffer, L"Zorvane is already scanning this computer") == 0)
        lstrcpyW(reinterpret_cast<wchar_t*>(out), buffer);
    return TRUE;
}

}  // namespace

TEST(ProgramEntry, SecondCopyShowsTheMessageBoxAndExitsWithOne)
{
    auto first = startProgram(zorvaneExe(), L"/nobrowser");
    ASSERT_TRUE(first);
    HWND frame = waitForWindow(first->processId, L"#32770", L"Zorvane", 20000);
    ASSERT_NE(frame, nullptr) << "the first copy shows its frame";

    auto second = startProgram(zorvaneExe(), L"/nobrowser");
    ASSERT_TRUE(second);
    HWND box = waitForWindow(second->processId, L"#32770", L"Zorvane Error", 20000);
    ASSERT_NE(box, nullptr) << "the second copy shows the already-scanning message";
    wchar_t text[256] = {};
    EnumChildWindows(box, findMessageText, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, L"Zorvane is already scanning this computer");

    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(waitForExit(*second, 20000), std::optional<DWORD>(1));

    EXPECT_TRUE(IsWindow(frame)) << "the first copy is unaffected";
    EXPECT_EQ(WaitForSingleObject(first->process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    PostMessageW(frame, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(waitForExit(*first, 20000), std::optional<DWORD>(0));
    stopProgram(*first);
    stopProgram(*second);
}

TEST(ProgramEntry, ANameTakenByAnotherKindOfObjectIsNoSecondCopy)
{
    // The mutex cannot be created while an event holds its name, and that
    // says nothing about another copy of the program.
    const zorvane::win32::UniqueHandle squatter(CreateEventW(nullptr, TRUE, FALSE, L"Global\\Zorvane GUI Process"));
    ASSERT_TRUE(squatter);
    auto program = startProgram(zorvaneExe(), L"/nobrowser");
    ASSERT_TRUE(program);
    HWND frame = waitForWindow(program->processId, L"#32770", L"Zorvane", 20000);
    EXPECT_NE(frame, nullptr) << "the program starts";
    EXPECT_EQ(waitForWindow(program->processId, L"#32770", L"Zorvane Error", 0), nullptr);

    PostMessageW(frame, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(waitForExit(*program, 20000), std::optional<DWORD>(0));
    stopProgram(*program);
}
