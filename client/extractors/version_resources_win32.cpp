// Placeholder until the Win32 version-resource reader lands.
#include "client/win32/adapters.h"
#include "core/extractors/version_info.h"

namespace zorvane::client {

std::unique_ptr<VersionResources> makeVersionResources() { return std::make_unique<VersionResources>(); }

}  // namespace zorvane::client
