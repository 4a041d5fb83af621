// Placeholder until the Win32 WMI query lands.
#include "client/win32/adapters.h"
#include "core/extractors/wmi_info.h"

namespace zorvane::client {

std::unique_ptr<WmiQuery> makeWmiQuery() { return std::make_unique<WmiQuery>(); }

}  // namespace zorvane::client
