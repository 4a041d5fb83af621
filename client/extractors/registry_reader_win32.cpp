// Placeholder until the Win32 registry reader lands.
#include "client/win32/adapters.h"
#include "core/extractors/registry_info.h"

namespace zorvane::client {

std::unique_ptr<RegistryReader> makeRegistryReader() { return std::make_unique<RegistryReader>(); }

}  // namespace zorvane::client
