#include "core/extractors/network_info.h"

#include <algorithm>
#include <set>

#include "core/base/conversions.h"
#include "core/base/trace.h"

namespace zorvane {

namespace {

constexpr std::u16string_view kTcpDevice = u"\\Device\\Tcp";
constexpr std::u16string_view kUdpDevice = u"\\Device\\Udp";

std::uint32_t readLe32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t readLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// A little-endian field of 4 or 8 bytes.
std::uint64_t readLePointer(const std::uint8_t* p, std::size_t pointerSize)
{
    std::uint64_t value = readLe32(p);
    if (pointerSize == 8)
        value |= static_cast<std::uint64_t>(readLe32(p + 4)) << 32;
    return value;
}

bool isPointerSize(std::size_t pointerSize) { return pointerSize == 4 || pointerSize == 8; }

// One part of a dotted address: 1 to 3 decimal digits, at most 255.
std::optional<std::uint8_t> parseOctet(std::string_view part)
{
    if (part.empty() || part.size() > 3)
        return std::nullopt;
    unsigned value = 0;
    for (char c : part) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 255)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

}  // namespace

std::string_view addressClassName(AddressClass addressClass)
{
    switch (addressClass) {
    case AddressClass::Internet: return "INTERNET";
    case AddressClass::Ethernet: return "ETHERNET";
    case AddressClass::Broadcast: return "BROADCAST";
    case AddressClass::Loopback: return "LOOPBACK";
    case AddressClass::Default: return "DEFAULT";
    }
    return "INTERNET";
}

AddressClass classifyAddress(const Ipv4Address& address, const std::optional<Ipv4Address>& proxy)
{
    const std::uint8_t a = address[0];
    const std::uint8_t b = address[1];
    bool isPrivate = false;
    switch (a) {
    case 0: return AddressClass::Default;
    case 10: isPrivate = true; break;
    case 127: return b == 0 ? AddressClass::Loopback : AddressClass::Internet;
    case 169: isPrivate = b == 254; break;
    case 172: isPrivate = b >= 16 && b <= 31; break;
    case 192: isPrivate = b == 168; break;
    case 255: return AddressClass::Broadcast;
    default: break;
    }
    if (!isPrivate || (proxy && *proxy == address))
        return AddressClass::Internet;
    return AddressClass::Ethernet;
}

AddressClass classifyAddress(const Ipv6Address& address, const std::optional<Ipv4Address>& proxy)
{
    const auto zeroUpTo = [&address](std::size_t end) {
        return std::all_of(address.begin(), address.begin() + static_cast<std::ptrdiff_t>(end),
                           [](std::uint8_t octet) { return octet == 0; });
    };
    if (zeroUpTo(10) && address[10] == 0xFF && address[11] == 0xFF)
        return classifyAddress(Ipv4Address{address[12], address[13], address[14], address[15]}, proxy);
    if (zeroUpTo(15) && address[15] <= 1)
        return address[15] == 0 ? AddressClass::Default : AddressClass::Loopback;
    const bool linkLocal = address[0] == 0xFE && (address[1] & 0xC0) == 0x80;
    const bool uniqueLocal = (address[0] & 0xFE) == 0xFC;
    return linkLocal || uniqueLocal ? AddressClass::Ethernet : AddressClass::Internet;
}

std::optional<Ipv4Address> parseProxyAddress(std::u16string_view proxyServer)
{
    const std::string host = narrowLatin1(proxyServer.substr(0, proxyServer.find(u':')));
    Ipv4Address address{};
    std::size_t start = 0;
    for (std::size_t i = 0; i < address.size(); ++i) {
        const bool last = i + 1 == address.size();
        const std::size_t dot = last ? host.size() : host.find('.', start);
        if (dot == std::string::npos)
            return std::nullopt;
        const auto octet = parseOctet(std::string_view(host).substr(start, dot - start));
        if (!octet)
            return std::nullopt;
        address[i] = *octet;
        start = dot + 1;
    }
    return address;
}

std::vector<SystemHandleEntry> parseSystemHandleTable(const std::uint8_t* data, std::size_t size,
                                                      std::size_t pointerSize)
{
    std::vector<SystemHandleEntry> entries;
    // The count is 32-bit; the entries hold a pointer, so they start aligned.
    const std::size_t header = pointerSize;
    const std::size_t entrySize = 8 + 2 * pointerSize;
    if (data == nullptr || !isPointerSize(pointerSize) || size < header)
        return entries;
    const std::size_t count = std::min<std::size_t>(readLe32(data), (size - header) / entrySize);
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = data + header + i * entrySize;
        SystemHandleEntry entry;
        entry.processId = readLe32(p);
        entry.objectType = p[4];
        entry.flags = p[5];
        entry.handle = readLe16(p + 6);
        entry.grantedAccess = readLe32(p + 8 + pointerSize);
        entries.push_back(entry);
    }
    return entries;
}

std::vector<SystemHandleEntry> parseExtendedHandleTable(const std::uint8_t* data, std::size_t size,
                                                        std::size_t pointerSize)
{
    std::vector<SystemHandleEntry> entries;
    const std::size_t header = 2 * pointerSize;
    const std::size_t entrySize = 3 * pointerSize + 16;
    if (data == nullptr || !isPointerSize(pointerSize) || size < header)
        return entries;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(readLePointer(data, pointerSize), (size - header) / entrySize));
    entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* p = data + header + i * entrySize;
        const std::uint8_t* fixed = p + 3 * pointerSize;
        SystemHandleEntry entry;
        // Process ids are 32-bit values, whatever the field's size.
        entry.processId = static_cast<std::uint32_t>(readLePointer(p + pointerSize, pointerSize));
        entry.handle = readLePointer(p + 2 * pointerSize, pointerSize);
        entry.grantedAccess = readLe32(fixed);
        entry.objectType = readLe16(fixed + 6);
        entry.flags = readLe32(fixed + 8);
        entries.push_back(entry);
    }
    return entries;
}

std::optional<LocalEndpoint> parseTdiAddressInfo(const std::uint8_t* data, std::size_t size)
{
    if (data == nullptr || size < 18)
        return std::nullopt;
    LocalEndpoint local;
    local.port = static_cast<std::uint16_t>(data[12] << 8 | data[13]);
    local.address = Ipv4Address{data[14], data[15], data[16], data[17]};
    return local;
}

std::u16string parseObjectNameInformation(const std::uint8_t* data, std::size_t size, std::size_t pointerSize)
{
    // UNICODE_STRING: two 16-bit lengths, then the buffer pointer, aligned.
    const std::size_t header = 2 * pointerSize;
    if (data == nullptr || !isPointerSize(pointerSize) || size < header)
        return {};
    const std::size_t bytes = std::min<std::size_t>(readLe16(data), size - header);
    std::u16string name(bytes / 2, u'\0');
    for (std::size_t i = 0; i < name.size(); ++i)
        name[i] = static_cast<char16_t>(readLe16(data + header + 2 * i));
    return name;
}

bool NetworkInfoExtractor::collectSocketTable()
{
    sockets_.reset();
    proxyAddress_.reset();
    if (!system_.hasEntryPoints()) {
        reportError(u"The NTDLL.DLL on this computer is not one provided by Microsoft for Windows 2000, XP and 2003.");
        return false;
    }
    readProxyAddress();
    if (!system_.handleWalkFindsSockets()) {
        // The tables are the only source here, so without them nothing is
        // known, which differs from a process known to hold no port.
        const auto rows = system_.readPortTables();
        if (!rows)
            return false;
        capacity_ = rows->size();
        sockets_.emplace();
        addPortTableRows(*rows);
        return true;
    }
    const auto table = system_.readHandleTable();
    if (!table)
        return false;

    capacity_ = table->size() / 2;
    sockets_.emplace();
    if (!examineHandles(*table)) {
        if (const auto rows = system_.readPortTables())
            addPortTableRows(*rows);
    }
    return true;
}

void NetworkInfoExtractor::readProxyAddress()
{
    if (const auto text = system_.readProxyServer())
        proxyAddress_ = parseProxyAddress(*text);
}

bool NetworkInfoExtractor::examineHandles(const std::vector<SystemHandleEntry>& table)
{
    // The table is grouped by process: one open process serves a run of
    // entries with the same id, including a run whose process cannot be opened.
    std::unique_ptr<NetworkSystem::OpenedProcess> process;
    std::optional<std::uint32_t> processOf;
    bool sawTransport = false;

    for (const SystemHandleEntry& entry : table) {
        if (processOf != entry.processId) {
            process = system_.openProcess(entry.processId);
            processOf = entry.processId;
        }
        const auto duplicate = process ? process->duplicate(entry.handle) : nullptr;
        if (!duplicate) {
            traceDiagnostic(formatText(u"Handle duplication of process %d failed.\n", {entry.processId}));
            continue;
        }
        const ObjectNameResult name = duplicate->queryName(kNameQueryTimeoutMs);
        if (name.status == ObjectNameResult::Status::TimedOut) {
            traceDiagnostic(formatText(u"Name query of handle %u of process %d did not answer; handle skipped.\n",
                                       {entry.handle, entry.processId}));
            continue;
        }
        if (name.status != ObjectNameResult::Status::Named || (name.name != kTcpDevice && name.name != kUdpDevice))
            continue;
        sawTransport = true;
        if (const auto local = duplicate->queryAddress()) {
            if (!addSocket(entry.processId, *local))
                break;
        }
    }
    return sawTransport;
}

void NetworkInfoExtractor::addPortTableRows(const std::vector<PortTableRow>& rows)
{
    for (const PortTableRow& row : rows) {
        if (!addSocket(row.processId, row.local))
            break;
    }
}

bool NetworkInfoExtractor::addSocket(std::uint32_t processId, const LocalEndpoint& local)
{
    if (sockets_->size() >= capacity_) {
        traceDiagnostic(formatText(u"The socket list is full (%u entries); further sockets are not recorded.\n",
                                   {capacity_}));
        return false;
    }
    const AddressClass addressClass =
        std::visit([this](const auto& address) { return classifyAddress(address, proxyAddress_); }, local.address);
    sockets_->push_back({processId, addressClass, local.port});
    return true;
}

void NetworkInfoExtractor::onProcess(std::uint32_t processId)
{
    if (!sockets_)
        return;
    std::set<std::string> items;
    for (const SocketEntry& entry : *sockets_) {
        if (entry.processId != processId)
            continue;
        std::string item = std::to_string(entry.port);
        item += '|';
        item += addressClassName(entry.addressClass);
        items.insert(std::move(item));
    }
    std::string joined;
    for (const std::string& item : items) {
        if (!joined.empty())
            joined += ',';
        joined += item;
    }
    setProperty("NetworkPorts", widenLatin1(joined));
}

}  // namespace zorvane
