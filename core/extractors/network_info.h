#pragma once
// "net.NetworkPorts": the TCP and UDP ports each process holds open, each
// with the class of the address it is bound to.
//
// Once per scan, collectSocketTable walks the system handle table, finds the
// handles named "\Device\Tcp" or "\Device\Udp" and asks the transport for
// their local address. Where sockets are not such handles (Vista and later)
// the walk is skipped and the owner-pid port tables, IPv4 and IPv6, are read
// instead; where the walk runs but finds no socket handle, they stand in too.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/extractors/info_extractor.h"

namespace zorvane {

// Addresses as their octets, first octet first (network order).
using Ipv4Address = std::array<std::uint8_t, 4>;
using Ipv6Address = std::array<std::uint8_t, 16>;

// One handle of the system handle table. Handle values are pointer-sized on
// 64-bit Windows; the classic table keeps only their low 16 bits.
struct SystemHandleEntry {
    std::uint32_t processId = 0;
    std::uint16_t objectType = 0;
    std::uint32_t flags = 0;
    std::uint64_t handle = 0;
    std::uint32_t grantedAccess = 0;
};

struct LocalEndpoint {
    std::variant<Ipv4Address, Ipv6Address> address;
    std::uint16_t port = 0;  // host byte order
};

struct PortTableRow {
    std::uint32_t processId = 0;
    LocalEndpoint local;
};

struct ObjectNameResult {
    enum class Status {
        Named,
        Unnamed,   // the object has no name or the query failed
        TimedOut,  // no answer within the timeout, or no helper could run the query
    };
    Status status = Status::Unnamed;
    std::u16string name;
};

// The operating-system side of the network pass.
class NetworkSystem {
public:
    // A handle duplicated into this process; closed on destruction.
    class DuplicatedHandle {
    public:
        virtual ~DuplicatedHandle() = default;
        // Some handles (a synchronous pipe with a pending wait) never answer a
        // name query; the query gives up after `timeoutMs` and the handle is
        // then unusable.
        virtual ObjectNameResult queryName(std::uint32_t timeoutMs) = 0;
        // The local address of a "\Device\Tcp" or "\Device\Udp" handle.
        virtual std::optional<LocalEndpoint> queryAddress() = 0;
    };

    // A process opened for handle duplication; closed on destruction.
    class OpenedProcess {
    public:
        virtual ~OpenedProcess() = default;
        // Null when the handle cannot be duplicated.
        virtual std::unique_ptr<DuplicatedHandle> duplicate(std::uint64_t handle) = 0;
    };

    virtual ~NetworkSystem() = default;

    // Whether the system offers the entry points the handle pass needs.
    virtual bool hasEntryPoints() = 0;
    // Whether sockets are "\Device\Tcp" and "\Device\Udp" handles, so that
    // the handle walk can find them (Windows before Vista). When false the
    // pass reads the port tables only.
    virtual bool handleWalkFindsSockets() = 0;
    // The current user's "ProxyServer" text when "ProxyEnable" is set; none
    // when proxying is off or the settings cannot be read.
    virtual std::optional<std::u16string> readProxyServer() = 0;
    // The system handle table; none when it cannot be read.
    virtual std::optional<std::vector<SystemHandleEntry>> readHandleTable() = 0;
    // Null when the process cannot be opened.
    virtual std::unique_ptr<OpenedProcess> openProcess(std::uint32_t processId) = 0;
    // The rows of the owner-pid port tables: IPv4 TCP, IPv4 UDP, IPv6 TCP,
    // IPv6 UDP, each skipped when it cannot be read; none when no table can
    // be read (the calls exist from XP SP2 on, the IPv6 tables from Vista).
    virtual std::optional<std::vector<PortTableRow>> readPortTables() = 0;
};

enum class AddressClass : std::uint32_t {
    Internet = 1,
    Ethernet = 2,
    Broadcast = 4,
    Loopback = 8,
    Default = 16,
};

// "INTERNET", "ETHERNET", "BROADCAST", "LOOPBACK" or "DEFAULT".
std::string_view addressClassName(AddressClass addressClass);

// A private or link-local address equal to the proxy's is INTERNET: traffic
// to it leaves through the proxy.
AddressClass classifyAddress(const Ipv4Address& address, const std::optional<Ipv4Address>& proxy);
// The class of the IPv4 counterpart: "::" is DEFAULT, "::1" LOOPBACK,
// link-local (fe80::/10) and unique-local (fc00::/7) addresses ETHERNET, an
// IPv4-mapped address (::ffff:a.b.c.d) that of a.b.c.d, proxy included, and
// every other address INTERNET. No IPv6 address is BROADCAST.
AddressClass classifyAddress(const Ipv6Address& address, const std::optional<Ipv4Address>& proxy);

// The proxy address from a "ProxyServer" text: the part before the first
// ":", when it is a dotted IPv4 address (four decimal parts of 0 to 255).
// Host names and the per-protocol form ("http=...") give none.
std::optional<Ipv4Address> parseProxyAddress(std::u16string_view proxyServer);

// The handle-table parsers take the pointer size of the system that wrote
// the buffer (4 or 8; any other size gives nothing). A count larger than the
// buffer holds is cut to the entries present.
//
// SystemHandleInformation: a 32-bit count, padded to the pointer size, then
// entries of 16 bytes (pointer size 4) or 24 (8): 32-bit process id, object
// type (8-bit), flags (8-bit), a 16-bit handle value, the object's address,
// then the granted access.
std::vector<SystemHandleEntry> parseSystemHandleTable(const std::uint8_t* data, std::size_t size,
                                                      std::size_t pointerSize);
// SystemExtendedHandleInformation: a pointer-sized count and a reserved
// pointer-sized field, then entries of three pointers (object, process id,
// handle value), granted access (32-bit), creator back-trace index and
// object type (16-bit each), attributes and a reserved field (32-bit each):
// 28 bytes with pointer size 4, 40 with 8.
std::vector<SystemHandleEntry> parseExtendedHandleTable(const std::uint8_t* data, std::size_t size,
                                                        std::size_t pointerSize);

// A TDI_ADDRESS_INFO: the port at byte 12 (network order), the address at 14.
// None when the buffer is shorter than 18 bytes.
std::optional<LocalEndpoint> parseTdiAddressInfo(const std::uint8_t* data, std::size_t size);

// An OBJECT_NAME_INFORMATION: the name's byte length at byte 0, its
// characters after the header, a UNICODE_STRING of 8 bytes (pointer size 4)
// or 16 (8). A length beyond the buffer is cut to the characters present;
// another pointer size gives the empty name.
std::u16string parseObjectNameInformation(const std::uint8_t* data, std::size_t size, std::size_t pointerSize);

class NetworkInfoExtractor : public InfoExtractor {
public:
    // An answering query takes microseconds, even on a loaded machine; each
    // handle that does not answer costs this once, and a busy system may have
    // dozens.
    static constexpr std::uint32_t kNameQueryTimeoutMs = 200;

    explicit NetworkInfoExtractor(NetworkSystem& system) : InfoExtractor("net"), system_(system) {}

    // The scan-wide pass. True when the socket list was built; without a
    // list no record gets "net.NetworkPorts". Each call replaces the list.
    bool collectSocketTable();

    // Stores "NetworkPorts" for the bound record: the process's items
    // "port|CLASS", distinct, ordered as text and joined by ",". Empty when
    // the process holds no port; nothing at all when there is no list.
    void onProcess(std::uint32_t processId) override;

private:
    struct SocketEntry {
        std::uint32_t processId;
        AddressClass addressClass;
        std::uint16_t port;
    };

    void readProxyAddress();
    // Returns whether any "\Device\Tcp" or "\Device\Udp" handle was seen.
    bool examineHandles(const std::vector<SystemHandleEntry>& table);
    void addPortTableRows(const std::vector<PortTableRow>& rows);
    // False, with a trace, when the list is full; callers stop adding then.
    bool addSocket(std::uint32_t processId, const LocalEndpoint& local);

    NetworkSystem& system_;
    std::optional<std::vector<SocketEntry>> sockets_;
    // Half the system's handle count at collection time; the number of rows
    // when the port tables are the only source.
    std::size_t capacity_ = 0;
    std::optional<Ipv4Address> proxyAddress_;
};

}  // namespace zorvane
