#pragma once
// Stand-ins for kernel32 functions that the C++ runtime and its threads
// library import but that Windows 2000, XP or 2003 lack: GetTickCount64
// (Vista and later), GetModuleHandleExW and the vectored exception handler
// pair (XP and later). An import the system lacks stops the loader before
// the program starts, so zorvane.exe fills those import slots itself
// (app/import_slots.cpp). Each stand-in calls the real function where
// kernel32 has it and does the work itself where not.

#include <windows.h>

namespace zorvane::win32::legacy {

ULONGLONG WINAPI getTickCount64();
BOOL WINAPI getModuleHandleExW(DWORD flags, LPCWSTR name, HMODULE* module);
PVOID WINAPI addVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler);
ULONG WINAPI removeVectoredExceptionHandler(PVOID handle);

// What the stand-ins do on a system without the real function; exposed
// for the tests, which run where kernel32 has them all.
ULONGLONG tickCount64Fallback();
BOOL moduleHandleExFallback(DWORD flags, LPCWSTR name, HMODULE* module);

}  // namespace zorvane::win32::legacy
