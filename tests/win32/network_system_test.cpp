#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "client/extractors/adapters.h"
#include "client/extractors/network_name_query_win32.h"
#include "client/win32/unique.h"
#include "core/base/keys.h"
#include "core/extractors/network_info.h"
#include "winsock_session.h"

using namespace zorvane;

namespace {

std::wstring uniqueName(const wchar_t* stem) { return stem + std::to_wstring(GetCurrentProcessId()); }

std::uint64_t handleValue(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

bool endsWith(const std::u16string& text, const std::wstring& tail)
{
    const std::u16string wanted(tail.begin(), tail.end());
    return text.size() >= wanted.size() && text.compare(text.size() - wanted.size(), wanted.size(), wanted) == 0;
}

// A stand-in for NtQueryObject that answers with a fixed name, except for one
// handle, whose query waits for ever.
struct StagedQuery {
    static constexpr int kMaxCalls = 64;
    static inline HANDLE hanging = nullptr;
    static inline HANDLE never = nullptr;  // an event nobody sets
    static inline std::u16string name;
    static inline DWORD threads[kMaxCalls];
    static inline std::atomic<int> calls{0};

    // Runs on the helper thread; it must not allocate, since it may be terminated.
    static LONG NTAPI query(HANDLE handle, ULONG, PVOID buffer, ULONG length, PULONG returned)
    {
        const int call = calls.fetch_add(1);
        if (call < kMaxCalls)
            threads[call] = GetCurrentThreadId();
        if (handle == hanging)
            WaitForSingleObject(never, INFINITE);
        // The characters follow a UNICODE_STRING.
        constexpr ULONG header = 2 * sizeof(void*);
        const ULONG bytes = static_cast<ULONG>(name.size() * 2);
        *returned = header + bytes;
        if (length < header + bytes)
            return static_cast<LONG>(0xC0000004);
        auto* out = static_cast<std::uint8_t*>(buffer);
        out[0] = static_cast<std::uint8_t>(bytes);
        out[1] = static_cast<std::uint8_t>(bytes >> 8);
        std::memcpy(out + header, name.data(), bytes);
        return 0;
    }
};

DWORD WINAPI connectPipe(void* pipe) { return ConnectNamedPipe(static_cast<HANDLE>(pipe), nullptr); }

win32::UniqueHandle newEvent() { return win32::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

// A socket bound to 127.0.0.1 or ::1 on a free port; closed on destruction.
class LoopbackSocket {
public:
    LoopbackSocket(int family, int type) : socket_(::socket(family, type, 0))
    {
        sockaddr_storage address{};
        int length = 0;
        if (family == AF_INET6) {
            auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
            in6.sin6_family = AF_INET6;
            in6.sin6_addr = in6addr_loopback;
            length = sizeof in6;
        } else {
            auto& in4 = reinterpret_cast<sockaddr_in&>(address);
            in4.sin_family = AF_INET;
            in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof in4;
        }
        auto* name = reinterpret_cast<sockaddr*>(&address);
        if (socket_ == INVALID_SOCKET || bind(socket_, name, length) != 0 ||
            (type == SOCK_STREAM && listen(socket_, 1) != 0) || getsockname(socket_, name, &length) != 0)
            return;
        port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                         : reinterpret_cast<sockaddr_in&>(address).sin_port);
    }
    ~LoopbackSocket()
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
    }
    bool created() const { return socket_ != INVALID_SOCKET; }
    std::uint16_t port() const { return port_; }

private:
    SOCKET socket_;
    std::uint16_t port_ = 0;
};

// The adapter with the handle walk forced on, as on Windows before Vista;
// everything else goes to the adapter.
class WalkingNetworkSystem final : public NetworkSystem {
public:
    explicit WalkingNetworkSystem(NetworkSystem& inner) : inner_(inner) {}
    bool hasEntryPoints() override { return inner_.hasEntryPoints(); }
    bool handleWalkFindsSockets() override { return true; }
    std::optional<std::u16string> readProxyServer() override { return inner_.readProxyServer(); }
    std::optional<std::vector<SystemHandleEntry>> readHandleTable() override { return inner_.readHandleTable(); }
    std::unique_ptr<OpenedProcess> openProcess(std::uint32_t processId) override
    {
        return inner_.openProcess(processId);
    }
    std::optional<std::vector<PortTableRow>> readPortTables() override { return inner_.readPortTables(); }

private:
    NetworkSystem& inner_;
};

// Proxy values under a scratch key that stands in for HKEY_CURRENT_USER in
// this process only, so that tests running beside this one keep their own.
class ProxySettings {
public:
    ProxySettings() : scratchName_(uniqueName(L"Software\\ZorvaneNetworkTest"))
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, scratchName_.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                        nullptr, scratch_.put(), nullptr);
        overridden_ = RegOverridePredefKey(HKEY_CURRENT_USER, scratch_.get()) == ERROR_SUCCESS;
        RegCreateKeyExW(scratch_.get(), L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                        nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, key_.put(), nullptr);
    }
    ~ProxySettings()
    {
        key_.reset();
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        scratch_.reset();
        SHDeleteKeyW(HKEY_CURRENT_USER, scratchName_.c_str());
    }
    bool ok() const { return overridden_ && key_; }
    void set(DWORD enable, const std::wstring& server, bool terminated = true)
    {
        RegSetValueExW(key_.get(), L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                       sizeof enable);
        RegSetValueExW(key_.get(), L"ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(server.c_str()),
                       static_cast<DWORD>((server.size() + (terminated ? 1 : 0)) * sizeof(wchar_t)));
    }

private:
    std::wstring scratchName_;
    win32::UniqueKey scratch_;
    win32::UniqueKey key_;
    bool overridden_ = false;
};

}  // namespace

TEST(NetworkSystemWin32, ReadsTheHandleTableAndNamesOwnHandles)
{
    const std::wstring eventName = uniqueName(L"ZorvaneNetworkTest");
    win32::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    ASSERT_TRUE(event);
    // Events until one's handle value needs more than 16 bits, which only
    // the extended table keeps whole.
    std::vector<win32::UniqueHandle> filler;
    while (filler.size() < 20000 && (filler.empty() || handleValue(filler.back().get()) <= 0xFFFF)) {
        filler.push_back(newEvent());
        ASSERT_TRUE(filler.back());
    }
    const HANDLE high = filler.back().get();
    ASSERT_GT(handleValue(high), 0xFFFFu);

    auto system = client::makeNetworkSystem();
    ASSERT_TRUE(system->hasEntryPoints());
    const auto table = system->readHandleTable();
    ASSERT_TRUE(table);
    int listed = 0;
    for (const SystemHandleEntry& entry : *table) {
        if (entry.processId == GetCurrentProcessId())
            listed += (entry.handle == handleValue(event.get())) + (entry.handle == handleValue(high));
    }
    EXPECT_EQ(listed, 2);

    auto self = system->openProcess(GetCurrentProcessId());
    ASSERT_TRUE(self);
    auto duplicate = self->duplicate(handleValue(event.get()));
    ASSERT_TRUE(duplicate);
    const ObjectNameResult name = duplicate->queryName(10000);
    EXPECT_EQ(name.status, ObjectNameResult::Status::Named);
    EXPECT_TRUE(endsWith(name.name, L"\\" + eventName));
    EXPECT_FALSE(duplicate->queryAddress());
    EXPECT_TRUE(self->duplicate(handleValue(high)));

    EXPECT_FALSE(self->duplicate(0x7FFFFFFC));
}

TEST(NetworkSystemWin32, APipeServerWaitingForAClientDoesNotStallThePass)
{
    const std::wstring pipeName = L"\\\\.\\pipe\\" + uniqueName(L"zorvane-network-");
    win32::UniqueFileHandle pipe(CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                                  512, 512, 0, nullptr));
    ASSERT_TRUE(pipe);
    win32::UniqueHandle server(CreateThread(nullptr, 0, connectPipe, pipe.get(), 0, nullptr));
    ASSERT_TRUE(server);
    // Give the server time to enter its wait; the test holds either way.
    Sleep(200);

    auto system = client::makeNetworkSystem();
    auto self = system->openProcess(GetCurrentProcessId());
    ASSERT_TRUE(self);
    auto duplicate = self->duplicate(handleValue(pipe.get()));
    ASSERT_TRUE(duplicate);
    const ObjectNameResult name = duplicate->queryName(NetworkInfoExtractor::kNameQueryTimeoutMs);
    EXPECT_NE(name.status, ObjectNameResult::Status::Unnamed);

    WalkingNetworkSystem walking(*system);
    NetworkInfoExtractor extractor(walking);
    EXPECT_TRUE(extractor.collectSocketTable());

    win32::UniqueFileHandle client(
        CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(client);
    EXPECT_EQ(WaitForSingleObject(server.get(), 30000), WAIT_OBJECT_0);
}

TEST(NetworkNameQueryGuard, ReusesOneHelperAndReplacesOneThatHangs)
{
    win32::UniqueHandle never = newEvent();
    StagedQuery::never = never.get();
    // Longer than the guard's first buffer, so the query is repeated larger.
    StagedQuery::name = u"\\Device\\" + std::u16string(700, u'x');
    StagedQuery::calls = 0;
    client::NameQueryGuard guard(&StagedQuery::query);

    win32::UniqueHandle first = newEvent();
    win32::UniqueHandle second = newEvent();
    EXPECT_EQ(guard.queryName(first, 10000).name, StagedQuery::name);
    EXPECT_EQ(guard.queryName(second, 10000).name, StagedQuery::name);
    ASSERT_EQ(StagedQuery::calls.load(), 3);
    EXPECT_EQ(StagedQuery::threads[0], StagedQuery::threads[2]);
    EXPECT_NE(StagedQuery::threads[0], GetCurrentThreadId());

    win32::UniqueHandle stuck = newEvent();
    StagedQuery::hanging = stuck.get();
    EXPECT_EQ(guard.queryName(stuck, 100).status, ObjectNameResult::Status::TimedOut);
    EXPECT_FALSE(stuck);  // kept by the guard while its helper may still use it
    EXPECT_EQ(guard.abandonedCount(), 1u);

    const ObjectNameResult after = guard.queryName(first, 10000);
    EXPECT_EQ(after.status, ObjectNameResult::Status::Named);
    EXPECT_EQ(after.name, StagedQuery::name);
    ASSERT_EQ(StagedQuery::calls.load(), 5);
    EXPECT_NE(StagedQuery::threads[4], StagedQuery::threads[0]);
    StagedQuery::hanging = nullptr;
}

TEST(NetworkSystemWin32, ReadsTheEnabledProxyOnly)
{
    ProxySettings settings;
    ASSERT_TRUE(settings.ok());
    auto system = client::makeNetworkSystem();
    settings.set(1, L"10.1.2.3:8080");
    EXPECT_EQ(system->readProxyServer(), std::optional<std::u16string>(u"10.1.2.3:8080"));
    settings.set(1, L"10.9.9.9", false);
    EXPECT_EQ(system->readProxyServer(), std::optional<std::u16string>(u"10.9.9.9"));
    settings.set(0, L"10.1.2.3:8080");
    EXPECT_EQ(system->readProxyServer(), std::nullopt);
}

TEST(NetworkSystemWin32, PortTablesListSocketsThisTestOpened)
{
    zorvane::testing::WinsockSession winsock;
    ASSERT_TRUE(winsock.ok());
    LoopbackSocket tcp(AF_INET, SOCK_STREAM);
    LoopbackSocket udp(AF_INET, SOCK_DGRAM);
    LoopbackSocket tcp6(AF_INET6, SOCK_STREAM);
    LoopbackSocket udp6(AF_INET6, SOCK_DGRAM);
    ASSERT_NE(tcp.port(), 0);
    ASSERT_NE(udp.port(), 0);
    if (!tcp6.created())
        GTEST_SKIP() << "no IPv6 sockets on this host (error " << WSAGetLastError() << ")";
    ASSERT_NE(tcp6.port(), 0);
    ASSERT_NE(udp6.port(), 0);

    auto system = client::makeNetworkSystem();
    // Wine reports Windows 7, whose sockets are no "\Device\Tcp" handles.
    EXPECT_FALSE(system->handleWalkFindsSockets());
    const auto rows = system->readPortTables();
    ASSERT_TRUE(rows);
    const LocalEndpoint ours[] = {{Ipv4Address{127, 0, 0, 1}, tcp.port()},
                                  {Ipv4Address{127, 0, 0, 1}, udp.port()},
                                  {Ipv6Address{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, tcp6.port()},
                                  {Ipv6Address{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, udp6.port()}};
    // TCP and UDP number their ports apart, and other programs on this host
    // hold loopback ports too, so another row may show the same endpoint.
    for (const LocalEndpoint& socket : ours) {
        SCOPED_TRACE(socket.port);
        EXPECT_TRUE(std::any_of(rows->begin(), rows->end(), [&socket](const PortTableRow& row) {
            return row.local.port == socket.port && row.local.address == socket.address;
        }));
    }

    // Wine reports owner pid 0 for every row, so look under both ids.
    NetworkInfoExtractor extractor(*system);
    ASSERT_TRUE(extractor.collectSocketTable());
    std::u16string ports = u",";
    for (std::uint32_t processId : {static_cast<std::uint32_t>(GetCurrentProcessId()), 0u}) {
        ProcessRecord record;
        extractor.bind(&record);
        extractor.onProcess(processId);
        ports += *record.find(keys::kNetNetworkPorts) + u",";
    }
    for (std::uint16_t port : {tcp.port(), tcp6.port()}) {
        const std::wstring item = L"," + std::to_wstring(port) + L"|LOOPBACK,";
        EXPECT_NE(ports.find(std::u16string(item.begin(), item.end())), std::u16string::npos)
            << std::string(ports.begin(), ports.end());
    }
}
