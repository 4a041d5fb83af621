#pragma once
// Ownership of WinINet handles (sessions, connections, requests).

#include <windows.h>
#include <wininet.h>

#include "client/win32/unique.h"

namespace zorvane::win32 {

namespace detail {
inline void closeInternet(HINTERNET h) { ::InternetCloseHandle(h); }
}  // namespace detail

using UniqueInternet = UniqueAny<detail::NullTraits<HINTERNET, detail::closeInternet>>;

}  // namespace zorvane::win32
