#pragma once
// A staged handle table for the network pass: each handle has an owner, an
// optional name and address, and may fail to duplicate or never answer its
// name query.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/extractors/network_info.h"

namespace zorvane::fakes {

class FakeNetworkSystem : public NetworkSystem {
public:
    struct Handle {
        std::uint32_t processId = 0;
        std::uint64_t value = 0;
        std::optional<std::u16string> name;
        std::optional<LocalEndpoint> address;
        bool hangs = false;
        bool duplicable = true;
    };

    bool entryPoints = true;
    bool socketsAreHandles = true;
    bool handleTableReadable = true;
    std::optional<std::u16string> proxyServer;
    std::set<std::uint32_t> unopenable;
    std::optional<std::vector<PortTableRow>> portTables;
    std::vector<Handle> handles;

    int processOpens = 0;
    int handleTableReads = 0;
    int portTableReads = 0;
    int addressQueries = 0;
    int openDuplicates = 0;

    // Handle values are 4, 8, 12, ... in the order added.
    Handle& addHandle(std::uint32_t processId, std::optional<std::u16string> name = std::nullopt)
    {
        Handle& handle = handles.emplace_back();
        handle.processId = processId;
        handle.value = 4 * handles.size();
        handle.name = std::move(name);
        return handle;
    }
    Handle& addTcp(std::uint32_t processId, Ipv4Address address, std::uint16_t port)
    {
        Handle& handle = addHandle(processId, u"\\Device\\Tcp");
        handle.address = LocalEndpoint{address, port};
        return handle;
    }
    Handle& addUdp(std::uint32_t processId, Ipv4Address address, std::uint16_t port)
    {
        Handle& handle = addHandle(processId, u"\\Device\\Udp");
        handle.address = LocalEndpoint{address, port};
        return handle;
    }

    bool hasEntryPoints() override { return entryPoints; }
    bool handleWalkFindsSockets() override { return socketsAreHandles; }
    std::optional<std::u16string> readProxyServer() override { return proxyServer; }

    std::optional<std::vector<SystemHandleEntry>> readHandleTable() override
    {
        ++handleTableReads;
        if (!handleTableReadable)
            return std::nullopt;
        std::vector<SystemHandleEntry> table;
        for (const Handle& handle : handles)
            table.push_back({handle.processId, 0, 0, handle.value, 0});
        return table;
    }

    std::unique_ptr<OpenedProcess> openProcess(std::uint32_t processId) override
    {
        ++processOpens;
        if (unopenable.count(processId) != 0)
            return nullptr;
        return std::make_unique<Process>(*this, processId);
    }

    std::optional<std::vector<PortTableRow>> readPortTables() override
    {
        ++portTableReads;
        return portTables;
    }

private:
    class Duplicate : public DuplicatedHandle {
    public:
        Duplicate(FakeNetworkSystem& system, const Handle& handle) : system_(system), handle_(handle)
        {
            ++system_.openDuplicates;
        }
        ~Duplicate() override { --system_.openDuplicates; }

        ObjectNameResult queryName(std::uint32_t) override
        {
            if (handle_.hangs)
                return {ObjectNameResult::Status::TimedOut, {}};
            if (!handle_.name)
                return {ObjectNameResult::Status::Unnamed, {}};
            return {ObjectNameResult::Status::Named, *handle_.name};
        }
        std::optional<LocalEndpoint> queryAddress() override
        {
            ++system_.addressQueries;
            return handle_.address;
        }

    private:
        FakeNetworkSystem& system_;
        const Handle& handle_;
    };

    class Process : public OpenedProcess {
    public:
        Process(FakeNetworkSystem& system, std::uint32_t processId) : system_(system), processId_(processId) {}
        std::unique_ptr<DuplicatedHandle> duplicate(std::uint64_t value) override
        {
            for (const Handle& handle : system_.handles) {
                if (handle.processId == processId_ && handle.value == value && handle.duplicable)
                    return std::make_unique<Duplicate>(system_, handle);
            }
            return nullptr;
        }

    private:
        FakeNetworkSystem& system_;
        std::uint32_t processId_;
    };
};

}  // namespace zorvane::fakes
