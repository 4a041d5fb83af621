#pragma once

#include "core/scan/info_extractor.h"

namespace zorvane {

// The operating-system side: the system handle table and socket queries.
class NetworkSystem {
public:
    virtual ~NetworkSystem() = default;
};

// "net.NetworkPorts": the TCP and UDP ports each process holds open.
class NetworkInfoExtractor : public InfoExtractor {
public:
    explicit NetworkInfoExtractor(NetworkSystem& system) : InfoExtractor("net"), system_(system) {}

    // Placeholder until the network pass lands: no socket list.
    bool collectSocketTable() { return false; }

private:
    [[maybe_unused]] NetworkSystem& system_;
};

}  // namespace zorvane
