// The stand-ins zorvane.exe puts in its import slots for kernel32 functions
// that older Windows lacks. Wine has the real ones, so the fallbacks are
// called directly.
#include <gtest/gtest.h>

#include "client/win32/legacy_imports.h"
#include "client/win32/unique.h"

using namespace zorvane::win32;

TEST(LegacyImports, TheTickCountFallbackFollowsGetTickCountWithoutGoingBack)
{
    ULONGLONG previous = legacy::tickCount64Fallback();
    for (int i = 0; i < 20; ++i) {
        const DWORD before = GetTickCount();
        const ULONGLONG now = legacy::tickCount64Fallback();
        const DWORD after = GetTickCount();
        EXPECT_GE(now, previous);
        EXPECT_LE(static_cast<DWORD>(now) - before, after - before) << "the low half is a GetTickCount reading";
        previous = now;
        Sleep(1);
    }
    EXPECT_GT(legacy::getTickCount64(), 0u);
}

TEST(LegacyImports, TheModuleHandleFallbackFindsModulesByAddressAndName)
{
    static const int inThisProgram = 0;
    HMODULE module = nullptr;
    ASSERT_TRUE(legacy::moduleHandleExFallback(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&inThisProgram), &module));
    EXPECT_EQ(module, GetModuleHandleW(nullptr));

    // Without either flag the caller owns a reference and frees it: the
    // library stays loaded until its loader frees it as well.
    const wchar_t* const kLibrary = L"mscms.dll";
    ASSERT_EQ(GetModuleHandleW(kLibrary), nullptr) << "a library this program does not load itself";
    UniqueLibrary loaded(LoadLibraryW(kLibrary));
    ASSERT_TRUE(loaded);
    ASSERT_TRUE(legacy::moduleHandleExFallback(0, kLibrary, &module));
    EXPECT_EQ(module, loaded.get());
    UniqueLibrary reference(module);
    reference.reset();
    EXPECT_EQ(GetModuleHandleW(kLibrary), loaded.get()) << "the fallback took a reference of its own";
    loaded.reset();

    EXPECT_FALSE(legacy::moduleHandleExFallback(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nullptr, &module));
    EXPECT_EQ(module, nullptr);
    EXPECT_FALSE(legacy::moduleHandleExFallback(0, L"no-such-module.dll", &module));
    EXPECT_FALSE(legacy::moduleHandleExFallback(0, L"kernel32.dll", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
