// The network extractor's scan-wide pass (the system handle table walk,
// each handle duplicated and named through the hang guard's helper thread)
// through the real Win32 adapter, self-timed under Wine. Before timing it
// opens extra handles of the kinds a busy system holds: files, events,
// listening and unconnected sockets, and both ends of pipes. No baseline:
// the result is handles examined per second, the median of the passes.
// scripts/run-benchmarks.sh reads the last line.

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/win32_clock.h"
#include "client/extractors/adapters.h"
#include "client/win32/unique.h"
#include "core/extractors/network_info.h"

namespace {

using namespace zorvane;

constexpr int kFiles = 200;
constexpr int kEvents = 300;
constexpr int kSockets = 64;
constexpr int kPipes = 32;
constexpr int kPasses = 7;

// Counts what the pass asks of the system; the work stays the adapter's. It
// always walks the handle table, which the adapter skips from Vista on (and
// under Wine), since the walk is what is measured.
class CountingNetworkSystem final : public NetworkSystem {
public:
    explicit CountingNetworkSystem(NetworkSystem& inner) : inner_(inner) {}

    std::size_t tableEntries = 0;
    std::size_t duplicated = 0;

    bool hasEntryPoints() override { return inner_.hasEntryPoints(); }
    bool handleWalkFindsSockets() override { return true; }
    std::optional<std::u16string> readProxyServer() override { return inner_.readProxyServer(); }
    std::optional<std::vector<SystemHandleEntry>> readHandleTable() override
    {
        auto table = inner_.readHandleTable();
        tableEntries = table ? table->size() : 0;
        return table;
    }
    std::unique_ptr<OpenedProcess> openProcess(std::uint32_t processId) override
    {
        auto process = inner_.openProcess(processId);
        return process ? std::make_unique<Process>(*this, std::move(process)) : nullptr;
    }
    std::optional<std::vector<PortTableRow>> readPortTables() override { return inner_.readPortTables(); }

private:
    class Process final : public OpenedProcess {
    public:
        Process(CountingNetworkSystem& owner, std::unique_ptr<OpenedProcess> inner)
            : owner_(owner), inner_(std::move(inner))
        {
        }
        std::unique_ptr<NetworkSystem::DuplicatedHandle> duplicate(std::uint64_t handle) override
        {
            auto duplicate = inner_->duplicate(handle);
            owner_.duplicated += duplicate ? 1 : 0;
            return duplicate;
        }

    private:
        CountingNetworkSystem& owner_;
        std::unique_ptr<OpenedProcess> inner_;
    };

    NetworkSystem& inner_;
};

double seconds() { return bench::performanceSeconds(); }

// Handles this process keeps open for the passes to find.
struct ExtraHandles {
    std::vector<win32::UniqueHandle> handles;
    std::vector<SOCKET> sockets;
    std::wstring directory;
    std::vector<std::wstring> files;

    bool open()
    {
        wchar_t temp[MAX_PATH];
        if (!GetTempPathW(MAX_PATH, temp))
            return false;
        directory = std::wstring(temp) + L"zorvane-network-bench-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(directory.c_str(), nullptr);
        for (int k = 0; k < kFiles; ++k) {
            files.push_back(directory + L"\\file" + std::to_wstring(k) + L".tmp");
            HANDLE file = CreateFileW(files.back().c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
            if (file == INVALID_HANDLE_VALUE)
                return false;
            handles.emplace_back(file);
        }
        for (int k = 0; k < kEvents; ++k) {
            HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            if (!event)
                return false;
            handles.emplace_back(event);
        }
        for (int k = 0; k < kPipes; ++k) {
            HANDLE read = nullptr;
            HANDLE write = nullptr;
            if (!CreatePipe(&read, &write, nullptr, 0))
                return false;
            handles.emplace_back(read);
            handles.emplace_back(write);
        }
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return false;
        for (int k = 0; k < kSockets; ++k) {
            const bool tcp = k % 2 == 0;
            SOCKET s = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, tcp ? IPPROTO_TCP : IPPROTO_UDP);
            if (s == INVALID_SOCKET)
                return false;
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || (tcp && listen(s, 1) != 0)) {
                closesocket(s);
                return false;
            }
            sockets.push_back(s);
        }
        return true;
    }

    ~ExtraHandles()
    {
        for (SOCKET s : sockets)
            closesocket(s);
        WSACleanup();
        handles.clear();  // the files are deleted once closed
        for (const auto& file : files)
            DeleteFileW(file.c_str());
        if (!directory.empty())
            RemoveDirectoryW(directory.c_str());
    }
};

}  // namespace

int main()
{
    ExtraHandles extra;
    if (!extra.open()) {
        std::printf("network_pass: could not open the extra handles (error %lu)\n", GetLastError());
        return 1;
    }
    auto system = client::makeNetworkSystem();
    CountingNetworkSystem counting(*system);
    NetworkInfoExtractor extractor(counting);
    if (!counting.hasEntryPoints()) {
        std::printf("network_pass: the handle pass's entry points are missing\n");
        return 1;
    }

    std::vector<double> rates;
    std::size_t entries = 0;
    std::size_t duplicated = 0;
    extractor.collectSocketTable();  // warm-up: the helper thread and the name buffer
    for (int pass = 0; pass < kPasses; ++pass) {
        const double start = seconds();
        if (!extractor.collectSocketTable()) {
            std::printf("network_pass: the pass failed\n");
            return 1;
        }
        const double elapsed = seconds() - start;
        entries = counting.tableEntries;
        duplicated = counting.duplicated;
        counting.duplicated = 0;
        rates.push_back(static_cast<double>(entries) / elapsed);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("extra handles opened: %d files, %d events, %d pipe ends, %d sockets\n", kFiles, kEvents, 2 * kPipes,
                kSockets);
    std::printf("handle table: %zu entries, %zu duplicated and named per pass\n", entries, duplicated);
    std::printf("passes: %d, slowest %.0f, fastest %.0f handles/s\n", kPasses, rates.front(), rates.back());
    std::printf("network pass: %.0f handles examined/s\n", rates[rates.size() / 2]);
    return 0;
}
