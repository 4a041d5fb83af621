#pragma once
// Factories of the Win32 adapters behind the extractors' interfaces. Each is
// defined next to its adapter.

#include <memory>

namespace zorvane {
class NetworkSystem;
class PathOperations;
class RegistryReader;
class VersionResources;
class WmiQuery;
}  // namespace zorvane

namespace zorvane::client {

std::unique_ptr<VersionResources> makeVersionResources();
std::unique_ptr<RegistryReader> makeRegistryReader();
// Its connect() initialises COM on the calling thread, which must make every
// later call and destroy it.
std::unique_ptr<WmiQuery> makeWmiQuery();
std::unique_ptr<NetworkSystem> makeNetworkSystem();

// The process-wide path operations over the Win32 path system; their caches
// live until the program ends. Safe to call from any thread.
PathOperations& processPathOperations();

}  // namespace zorvane::client
