#pragma once
// A function of a loaded library by name, as a typed pointer; null when the
// library lacks it.

#include <windows.h>

namespace zorvane::win32 {

template <typename Function>
Function procedure(HMODULE library, const char* name)
{
    if (!library)
        return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

}  // namespace zorvane::win32
