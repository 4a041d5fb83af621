#pragma once
// The process interface of the scan: listing processes and their modules,
// and enabling the scan's privileges. Shaped by the scan engine.

namespace zorvane {

class ProcessSystem {
public:
    virtual ~ProcessSystem() = default;
};

class PrivilegeSystem {
public:
    virtual ~PrivilegeSystem() = default;
};

}  // namespace zorvane
