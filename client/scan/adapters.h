#pragma once
// Factories of the Win32 adapters of the scan's own interfaces. Each is
// defined next to its adapter.

#include <memory>

namespace zorvane {
class Clock;
class FileSystem;
class PrivilegeSystem;
class ProcessSystem;
}  // namespace zorvane

namespace zorvane::client {

std::unique_ptr<ProcessSystem> makeProcessSystem();
std::unique_ptr<PrivilegeSystem> makePrivilegeSystem();
std::unique_ptr<FileSystem> makeFileSystem();
std::unique_ptr<Clock> makeClock();

}  // namespace zorvane::client
