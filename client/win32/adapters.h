#pragma once
// Factories of the Win32 adapters behind the portable interfaces. Each is
// defined next to its adapter.

#include <memory>

namespace zorvane {
class Clock;
class FileSystem;
class NetworkSystem;
class PathOperations;
class PrivilegeSystem;
class ProcessSystem;
class RegistryReader;
class VersionResources;
class WmiQuery;
}  // namespace zorvane

namespace zorvane::client {

std::unique_ptr<ProcessSystem> makeProcessSystem();      // client/scan
std::unique_ptr<PrivilegeSystem> makePrivilegeSystem();  // client/scan
std::unique_ptr<FileSystem> makeFileSystem();            // client/scan
std::unique_ptr<Clock> makeClock();                      // client/scan
std::unique_ptr<VersionResources> makeVersionResources();  // client/extractors
std::unique_ptr<RegistryReader> makeRegistryReader();      // client/extractors
// Its connect() initialises COM on the calling thread, which must make every
// later call and destroy it.
std::unique_ptr<WmiQuery> makeWmiQuery();                  // client/extractors
std::unique_ptr<NetworkSystem> makeNetworkSystem();        // client/extractors

// The process-wide path operations over the Win32 path system; their caches
// live until the program ends. Safe to call from any thread.
PathOperations& processPathOperations();                   // client/extractors

}  // namespace zorvane::client
