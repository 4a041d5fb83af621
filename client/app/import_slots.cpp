// zorvane.exe's own import slots for the kernel32 functions that the C++
// runtime and its threads library import but Windows 2000, XP or 2003 lack
// (see client/win32/legacy_imports.h). The runtime calls through the
// import slot, __imp__Name@N in 32-bit code and __imp_Name in x64 code;
// defining that slot here keeps the linker from taking it from the kernel32
// import library, so the name never reaches the image's import table. Linked into the program only: the tests run under Wine,
// whose kernel32 has every function.
#include "client/win32/legacy_imports.h"

using namespace zorvane::win32;

#if defined(_WIN64)
#define ZORVANE_IMPORT_SLOT(name, argumentBytes) "__imp_" #name
#else
#define ZORVANE_IMPORT_SLOT(name, argumentBytes) "__imp__" #name "@" #argumentBytes
#endif

extern "C" {
ULONGLONG(WINAPI* importGetTickCount64)() asm(ZORVANE_IMPORT_SLOT(GetTickCount64, 0)) = legacy::getTickCount64;
BOOL(WINAPI* importGetModuleHandleExW)(DWORD, LPCWSTR, HMODULE*) asm(ZORVANE_IMPORT_SLOT(GetModuleHandleExW, 12)) =
    legacy::getModuleHandleExW;
PVOID(WINAPI* importAddVectoredExceptionHandler)(ULONG, PVECTORED_EXCEPTION_HANDLER) asm(
    ZORVANE_IMPORT_SLOT(AddVectoredExceptionHandler, 8)) = legacy::addVectoredExceptionHandler;
ULONG(WINAPI* importRemoveVectoredExceptionHandler)(PVOID) asm(ZORVANE_IMPORT_SLOT(RemoveVectoredExceptionHandler, 4)) =
    legacy::removeVectoredExceptionHandler;
}
