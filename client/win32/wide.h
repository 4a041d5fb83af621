#pragma once
// The one cast between portable UTF-16 text and the Win32 wide API. Both
// are 16-bit units on Windows.

#include <windows.h>

#include <string>
#include <string_view>

namespace zorvane::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 wide characters are UTF-16 units");

inline const wchar_t* wide(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }
inline wchar_t* wide(char16_t* s) { return reinterpret_cast<wchar_t*>(s); }
inline const wchar_t* wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }

inline std::u16string fromWide(const wchar_t* s)
{
    return s ? std::u16string(reinterpret_cast<const char16_t*>(s)) : std::u16string();
}
inline std::u16string fromWide(const wchar_t* s, std::size_t length)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s), length);
}

// Loads a string-table text into a 1024-character buffer; a text that
// cannot be loaded is empty.
std::u16string loadText(HINSTANCE instance, int id);

}  // namespace zorvane::win32
