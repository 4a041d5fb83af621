// The network pass over the Win32 system: the system handle table, handle
// duplication, object names, the TDI address query, the proxy setting, the
// system version and the owner-pid port tables (IPv4 and IPv6).
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <cstring>

#include "client/extractors/adapters.h"
#include "client/extractors/network_name_query_win32.h"
#include "client/win32/procedure.h"
#include "client/win32/unique.h"
#include "client/win32/wide.h"
#include "core/extractors/network_info.h"

namespace zorvane::client {

namespace {

using NtQuerySystemInformationFunction = LONG(NTAPI*)(ULONG informationClass, PVOID buffer, ULONG length,
                                                      PULONG returnLength);
using RtlGetVersionFunction = LONG(NTAPI*)(OSVERSIONINFOW* version);
using DeviceIoControlFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
using GetExtendedTcpTableFunction = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);
using GetExtendedUdpTableFunction = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, UDP_TABLE_CLASS, ULONG);

constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
// What a system without the extended handle table (Windows 2000) answers.
constexpr LONG kStatusInvalidInfoClass = static_cast<LONG>(0xC0000003);
constexpr LONG kStatusNotImplemented = static_cast<LONG>(0xC0000002);
constexpr LONG kStatusNotSupported = static_cast<LONG>(0xC00000BB);
constexpr DWORD kProcessAccess = PROCESS_DUP_HANDLE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
constexpr DWORD kDuplicateAccess = GENERIC_ALL | STANDARD_RIGHTS_ALL;
constexpr DWORD kIoctlTdiQueryInformation = 0x210012;
constexpr std::uint8_t kTdiQueryAddressInfo = 3;
// The handle table can grow between the call that measures it and the call
// that reads it, and some systems report no length for it (a buffer smaller
// than the table's header gets none); so the read is retried, each time at
// least twice as large, with room to spare. The extended table starts
// larger: a few thousand handles fill 64 KiB.
constexpr int kHandleTableAttempts = 12;
constexpr std::size_t kHandleTableSlack = 4096;
constexpr std::size_t kMaxHandleTable = 64u << 20;
constexpr std::size_t kClassicTableFirstRead = 20;
constexpr std::size_t kExtendedTableFirstRead = 64 * 1024;
constexpr int kPortTableAttempts = 4;

// Looked up once per process; the pass needs the first three.
struct EntryPoints {
    NtQuerySystemInformationFunction querySystemInformation = nullptr;
    NtQueryObjectFunction queryObject = nullptr;
    DeviceIoControlFunction deviceIoControl = nullptr;
    // Unlike GetVersionExW it reports the true version whatever the
    // program's manifest declares; a system without it is older than Vista.
    RtlGetVersionFunction getVersion = nullptr;
};

const EntryPoints& entryPoints()
{
    static const EntryPoints points = [] {
        EntryPoints found;
        if (HMODULE ntdll = GetModuleHandleW(L"ntdll.dll")) {
            found.querySystemInformation =
                win32::procedure<NtQuerySystemInformationFunction>(ntdll, "NtQuerySystemInformation");
            found.queryObject = win32::procedure<NtQueryObjectFunction>(ntdll, "NtQueryObject");
            found.getVersion = win32::procedure<RtlGetVersionFunction>(ntdll, "RtlGetVersion");
        }
        if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
            found.deviceIoControl = win32::procedure<DeviceIoControlFunction>(kernel32, "DeviceIoControl");
        }
        return found;
    }();
    return points;
}

// One system handle table, in `buffer`; the final status of the query.
LONG querySystemTable(NtQuerySystemInformationFunction query, ULONG informationClass, std::size_t firstRead,
                      std::vector<std::uint8_t>& buffer)
{
    buffer.assign(firstRead, 0);
    ULONG returned = 0;
    LONG status = query(informationClass, buffer.data(), static_cast<ULONG>(buffer.size()), &returned);
    for (int attempt = 1; status == kStatusInfoLengthMismatch && attempt < kHandleTableAttempts; ++attempt) {
        const std::size_t next =
            std::max<std::size_t>(static_cast<std::size_t>(returned), buffer.size() * 2) + kHandleTableSlack;
        if (next > kMaxHandleTable)
            break;
        buffer.assign(next, 0);
        returned = 0;
        status = query(informationClass, buffer.data(), static_cast<ULONG>(buffer.size()), &returned);
    }
    return status;
}

bool isUnknownClass(LONG status)
{
    return status == kStatusInvalidInfoClass || status == kStatusNotImplemented || status == kStatusNotSupported;
}

// Calls one of the GetExtended*Table functions until its buffer is large
// enough; none when the call fails.
template <typename Function, typename TableClass>
std::optional<std::vector<std::uint8_t>> readOwnerTable(Function function, ULONG family, TableClass tableClass)
{
    std::vector<std::uint8_t> buffer;
    DWORD size = 0;
    for (int attempt = 0; attempt < kPortTableAttempts; ++attempt) {
        const DWORD result = function(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family, tableClass, 0);
        if (result == NO_ERROR)
            return buffer;
        if (result != ERROR_INSUFFICIENT_BUFFER)
            return std::nullopt;
        buffer.assign(static_cast<std::size_t>(size) + 1024, 0);
        size = static_cast<DWORD>(buffer.size());
    }
    return std::nullopt;
}

template <typename Row>
LocalEndpoint localEndpointOf(const Row& row)
{
    LocalEndpoint local;
    if constexpr (requires { row.ucLocalAddr; }) {
        Ipv6Address address{};
        std::memcpy(address.data(), row.ucLocalAddr, address.size());
        local.address = address;
    } else {
        Ipv4Address address{};
        std::memcpy(address.data(), &row.dwLocalAddr, address.size());
        local.address = address;
    }
    local.port = ntohs(static_cast<u_short>(row.dwLocalPort));
    return local;
}

// The rows of a MIB_TCP(6)TABLE_OWNER_PID or MIB_UDP(6)TABLE_OWNER_PID: a
// count, then rows; a count beyond the buffer is cut to the rows present.
template <typename Table, typename Row>
void appendRows(const std::optional<std::vector<std::uint8_t>>& table, std::vector<PortTableRow>& rows)
{
    if (!table)
        return;
    const std::vector<std::uint8_t>& buffer = *table;
    constexpr std::size_t kRowsAt = offsetof(Table, table);
    if (buffer.size() < kRowsAt)
        return;
    DWORD count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    const std::size_t present = std::min<std::size_t>(count, (buffer.size() - kRowsAt) / sizeof(Row));
    for (std::size_t i = 0; i < present; ++i) {
        Row row;
        std::memcpy(&row, buffer.data() + kRowsAt + i * sizeof(Row), sizeof row);
        rows.push_back({row.dwOwningPid, localEndpointOf(row)});
    }
}

class Win32DuplicatedHandle : public NetworkSystem::DuplicatedHandle {
public:
    Win32DuplicatedHandle(NameQueryGuard& names, win32::UniqueHandle handle) : names_(names), handle_(std::move(handle))
    {
    }

    ObjectNameResult queryName(std::uint32_t timeoutMs) override
    {
        if (!handle_)
            return {ObjectNameResult::Status::TimedOut, {}};
        return names_.queryName(handle_, timeoutMs);
    }

    std::optional<LocalEndpoint> queryAddress() override
    {
        if (!handle_)
            return std::nullopt;
        // TDI_REQUEST_QUERY_INFORMATION: zero but for QueryType at byte 16.
        std::uint8_t request[24] = {};
        request[16] = kTdiQueryAddressInfo;
        std::uint8_t info[128] = {};
        DWORD returned = 0;
        if (!entryPoints().deviceIoControl(handle_.get(), kIoctlTdiQueryInformation, request, sizeof request, info,
                                           sizeof info, &returned, nullptr))
            return std::nullopt;
        return parseTdiAddressInfo(info, sizeof info);
    }

private:
    NameQueryGuard& names_;
    win32::UniqueHandle handle_;
};

class Win32OpenedProcess : public NetworkSystem::OpenedProcess {
public:
    Win32OpenedProcess(NameQueryGuard& names, win32::UniqueHandle process) : names_(names), process_(std::move(process))
    {
    }

    std::unique_ptr<NetworkSystem::DuplicatedHandle> duplicate(std::uint64_t handle) override
    {
        win32::UniqueHandle duplicate;
        const HANDLE source = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle));
        if (!DuplicateHandle(process_.get(), source, GetCurrentProcess(), duplicate.put(), kDuplicateAccess, FALSE, 0))
            return nullptr;
        return std::make_unique<Win32DuplicatedHandle>(names_, std::move(duplicate));
    }

private:
    NameQueryGuard& names_;
    win32::UniqueHandle process_;
};

class Win32NetworkSystem : public NetworkSystem {
public:
    Win32NetworkSystem() : names_(entryPoints().queryObject) {}

    bool hasEntryPoints() override
    {
        const EntryPoints& points = entryPoints();
        return points.querySystemInformation && points.queryObject && points.deviceIoControl;
    }

    // From Vista on, sockets are handles of the ancillary function driver,
    // whose names say nothing of the transport.
    bool handleWalkFindsSockets() override
    {
        const auto getVersion = entryPoints().getVersion;
        if (!getVersion)
            return true;
        OSVERSIONINFOW version{};
        version.dwOSVersionInfoSize = sizeof version;
        return getVersion(&version) != 0 || version.dwMajorVersion < 6;
    }

    std::optional<std::u16string> readProxyServer() override
    {
        win32::UniqueKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                          KEY_READ, key.put()) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD enabled = 0;
        DWORD size = sizeof enabled;
        if (RegQueryValueExW(key.get(), L"ProxyEnable", nullptr, nullptr, reinterpret_cast<BYTE*>(&enabled), &size) !=
                ERROR_SUCCESS ||
            enabled == 0)
            return std::nullopt;
        wchar_t server[256] = {};
        size = sizeof server;
        if (RegQueryValueExW(key.get(), L"ProxyServer", nullptr, nullptr, reinterpret_cast<BYTE*>(server), &size) !=
            ERROR_SUCCESS)
            return std::nullopt;
        // The stored text need not end with a terminator.
        const std::size_t units = std::min<std::size_t>(size / sizeof(wchar_t), 256);
        return win32::fromWide(server, std::find(server, server + units, L'\0') - server);
    }

    // The extended table where the system has it (XP on): its process ids
    // and handle values are whole, where the classic one keeps 16 bits of
    // each. The classic table only where the extended class is unknown.
    std::optional<std::vector<SystemHandleEntry>> readHandleTable() override
    {
        const auto query = entryPoints().querySystemInformation;
        if (!query)
            return std::nullopt;
        std::vector<std::uint8_t> buffer;
        const LONG extended = querySystemTable(query, kSystemExtendedHandleInformation, kExtendedTableFirstRead, buffer);
        if (extended == 0)
            return parseExtendedHandleTable(buffer.data(), buffer.size(), sizeof(void*));
        if (!isUnknownClass(extended))
            return std::nullopt;
        if (querySystemTable(query, kSystemHandleInformation, kClassicTableFirstRead, buffer) != 0)
            return std::nullopt;
        return parseSystemHandleTable(buffer.data(), buffer.size(), sizeof(void*));
    }

    std::unique_ptr<OpenedProcess> openProcess(std::uint32_t processId) override
    {
        win32::UniqueHandle process(OpenProcess(kProcessAccess, FALSE, processId));
        if (!process)
            return nullptr;
        return std::make_unique<Win32OpenedProcess>(names_, std::move(process));
    }

    // Looked up at run time: Windows 2000 and XP before SP2 lack both calls,
    // and systems before Vista refuse the IPv6 tables.
    std::optional<std::vector<PortTableRow>> readPortTables() override
    {
        win32::UniqueLibrary library(LoadLibraryW(L"iphlpapi.dll"));
        if (!library)
            return std::nullopt;
        const auto tcp = win32::procedure<GetExtendedTcpTableFunction>(library.get(), "GetExtendedTcpTable");
        const auto udp = win32::procedure<GetExtendedUdpTableFunction>(library.get(), "GetExtendedUdpTable");
        std::optional<std::vector<std::uint8_t>> tcp4, udp4, tcp6, udp6;
        if (tcp) {
            tcp4 = readOwnerTable(tcp, AF_INET, TCP_TABLE_OWNER_PID_ALL);
            tcp6 = readOwnerTable(tcp, AF_INET6, TCP_TABLE_OWNER_PID_ALL);
        }
        if (udp) {
            udp4 = readOwnerTable(udp, AF_INET, UDP_TABLE_OWNER_PID);
            udp6 = readOwnerTable(udp, AF_INET6, UDP_TABLE_OWNER_PID);
        }
        if (!tcp4 && !udp4 && !tcp6 && !udp6)
            return std::nullopt;
        std::vector<PortTableRow> rows;
        appendRows<MIB_TCPTABLE_OWNER_PID, MIB_TCPROW_OWNER_PID>(tcp4, rows);
        appendRows<MIB_UDPTABLE_OWNER_PID, MIB_UDPROW_OWNER_PID>(udp4, rows);
        appendRows<MIB_TCP6TABLE_OWNER_PID, MIB_TCP6ROW_OWNER_PID>(tcp6, rows);
        appendRows<MIB_UDP6TABLE_OWNER_PID, MIB_UDP6ROW_OWNER_PID>(udp6, rows);
        return rows;
    }

private:
    NameQueryGuard names_;
};

}  // namespace

std::unique_ptr<NetworkSystem> makeNetworkSystem() { return std::make_unique<Win32NetworkSystem>(); }

}  // namespace zorvane::client
