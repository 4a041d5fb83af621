#pragma once
// Staged processes, modules and privileges for the native tests.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/scan/process_system.h"

namespace zorvane::fakes {

struct FakeProcess {
    std::uint32_t id = 0;
    // In load order; none stands for a module whose name cannot be read.
    std::vector<std::optional<std::u16string>> modules;
    bool openable = true;
    bool modulesListable = true;
};

class FakeProcessSystem : public ProcessSystem {
public:
    FakeProcessSystem() = default;
    explicit FakeProcessSystem(std::vector<FakeProcess> staged) : processes(std::move(staged)) {}

    std::vector<FakeProcess> processes;
    bool enumerationFails = false;
    std::function<void()> onEnumerate;  // called as each enumeration starts

    // Observations.
    int enumerations = 0;
    int openHandles = 0;
    std::size_t idCapacity = 0;
    std::size_t moduleCapacity = 0;
    std::size_t nameCapacity = 0;

    std::optional<std::vector<std::uint32_t>> enumProcesses(std::size_t capacity) override
    {
        ++enumerations;
        if (onEnumerate)
            onEnumerate();
        idCapacity = capacity;
        if (enumerationFails)
            return std::nullopt;
        std::vector<std::uint32_t> ids;
        for (const FakeProcess& process : processes)
            ids.push_back(process.id);
        return ids;
    }

    std::unique_ptr<ProcessHandle> openProcess(std::uint32_t processId) override
    {
        for (const FakeProcess& process : processes)
            if (process.id == processId && process.openable)
                return std::make_unique<Handle>(*this, process);
        return nullptr;
    }

private:
    class Handle : public ProcessHandle {
    public:
        Handle(FakeProcessSystem& system, const FakeProcess& process) : system_(system), process_(process)
        {
            ++system_.openHandles;
        }
        ~Handle() override { --system_.openHandles; }

        std::optional<std::vector<ModuleHandle>> enumProcessModules(std::size_t capacity) override
        {
            system_.moduleCapacity = capacity;
            if (!process_.modulesListable)
                return std::nullopt;
            std::vector<ModuleHandle> handles;
            for (std::size_t i = 0; i < process_.modules.size() && i < capacity; ++i)
                handles.push_back(i + 1);
            return handles;
        }

        std::optional<std::u16string> moduleFileName(ModuleHandle module, std::size_t capacity) override
        {
            system_.nameCapacity = capacity;
            if (module == 0 || module > process_.modules.size())
                return std::nullopt;
            return process_.modules[module - 1];
        }

    private:
        FakeProcessSystem& system_;
        const FakeProcess& process_;
    };
};

class FakePrivilegeSystem : public PrivilegeSystem {
public:
    bool grants = true;
    std::vector<std::u16string> requested;

    bool enablePrivilege(const std::u16string& name) override
    {
        requested.push_back(name);
        return grants;
    }
};

}  // namespace zorvane::fakes
