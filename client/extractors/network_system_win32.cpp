// Placeholder until the Win32 handle-table walk lands.
#include "client/win32/adapters.h"
#include "core/extractors/network_info.h"

namespace zorvane::client {

std::unique_ptr<NetworkSystem> makeNetworkSystem() { return std::make_unique<NetworkSystem>(); }

}  // namespace zorvane::client
