#include "client/win32/wide.h"

namespace zorvane::win32 {

std::u16string loadText(HINSTANCE instance, int id)
{
    wchar_t buffer[1024];
    const int length = LoadStringW(instance, static_cast<UINT>(id), buffer, 1024);
    return length > 0 ? fromWide(buffer, static_cast<std::size_t>(length)) : std::u16string();
}

}  // namespace zorvane::win32
