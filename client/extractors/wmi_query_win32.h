#pragma once
// WMI over COM: the Win32 side of WmiQuery.

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace zorvane::client {

// A property value as text: VT_I2, VT_I4 and VT_INT in signed decimal,
// VT_UI1 in unsigned decimal, VT_DATE with six decimals, VT_BSTR as is,
// VT_BOOL as "True" or "False"; every other type (VT_EMPTY, VT_NULL, VT_R8,
// VT_UI4, VT_I8, ...) as empty text.
std::u16string variantText(const VARIANT& value);

}  // namespace zorvane::client
