// Releasing an owned handle keeps the thread's last error, so that a caller
// may let its handles go and then report the error of the call that failed.
#include <gtest/gtest.h>

#include <windows.h>

#include "client/win32/unique.h"

using namespace zorvane;

namespace {

// The last error once `owner` has been released, the error set just before.
template <typename Owner>
DWORD lastErrorAfterRelease(Owner owner)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    owner.reset();
    return GetLastError();
}

}  // namespace

TEST(UniqueClose, ReleasingKeepsTheLastErrorEvenWhenTheCloseFails)
{
    // Handles that are not open: each close fails and sets an error of its own.
    const auto staleHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7ffc));
    const auto staleWindow = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7ffc));
    SetLastError(0);
    DestroyWindow(staleWindow);
    ASSERT_NE(GetLastError(), 0u) << "the failing close sets an error that the owner must not leave behind";

    EXPECT_EQ(lastErrorAfterRelease(win32::UniqueHandle(staleHandle)), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(lastErrorAfterRelease(win32::UniqueFileHandle(staleHandle)), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(lastErrorAfterRelease(win32::UniqueWindow(staleWindow)), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(lastErrorAfterRelease(win32::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr))),
              ERROR_FILE_NOT_FOUND)
        << "a close that succeeds";
}
