#pragma once
// The process interface of the scan: listing running processes and their
// loaded modules (shaped like EnumProcesses, OpenProcess, EnumProcessModules
// and GetModuleFileNameExW), and enabling the scan's privileges.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

using ModuleHandle = std::uintptr_t;

// A process opened for querying and reading its memory (0x410). Closing is
// the destructor's job.
class ProcessHandle {
public:
    virtual ~ProcessHandle() = default;
    // The process's module handles in load order, at most `capacity` of
    // them; none when they cannot be listed.
    virtual std::optional<std::vector<ModuleHandle>> enumProcessModules(std::size_t capacity) = 0;
    // The module's full file name, cut to fit `capacity` characters with
    // its terminator; none when it cannot be read.
    virtual std::optional<std::u16string> moduleFileName(ModuleHandle module, std::size_t capacity) = 0;
};

class ProcessSystem {
public:
    virtual ~ProcessSystem() = default;
    // Ids of the running processes, at most `capacity`; none on failure.
    virtual std::optional<std::vector<std::uint32_t>> enumProcesses(std::size_t capacity) = 0;
    // Null when the process cannot be opened (the idle and system
    // processes, or access denied).
    virtual std::unique_ptr<ProcessHandle> openProcess(std::uint32_t processId) = 0;
};

class PrivilegeSystem {
public:
    virtual ~PrivilegeSystem() = default;
    // Enables a privilege such as "SeDebugPrivilege" on the scanner's own
    // token. False when it cannot be enabled.
    virtual bool enablePrivilege(const std::u16string& name) = 0;
};

}  // namespace zorvane
