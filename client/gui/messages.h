#pragma once
// The frame window's custom messages. The pages post them; the worker
// thread and the exchange driver post scan complete.

#include <windows.h>

namespace zorvane::client::msg {

inline constexpr UINT kStartScan = WM_APP + 1;
inline constexpr UINT kCloseRequest = WM_APP + 2;
inline constexpr UINT kScanComplete = WM_APP + 3;
inline constexpr UINT kShowStartPage = WM_APP + 4;
// wParam: a zero-terminated wide text that stays valid until the frame
// has handled the message.
inline constexpr UINT kOpenAddress = WM_APP + 5;

}  // namespace zorvane::client::msg
