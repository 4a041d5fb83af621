#pragma once
// Everything a scan reaches outside the portable code, by reference. The
// Windows client passes its Win32 adapters; the native tests pass fakes.

namespace zorvane {

class Clock;
class FileSystem;
class NetworkSystem;
class PathOperations;
class PrivilegeSystem;
class ProcessSystem;
class ProgressView;
class RegistryReader;
class VersionResources;
class WmiQuery;
struct RunSettings;

struct ScanServices {
    ProcessSystem& processes;
    PrivilegeSystem& privileges;
    FileSystem& files;
    Clock& clock;
    PathOperations& paths;
    VersionResources& versions;
    RegistryReader& registry;
    WmiQuery& wmi;
    NetworkSystem& network;
    ProgressView& progress;
    const RunSettings& settings;
};

}  // namespace zorvane
