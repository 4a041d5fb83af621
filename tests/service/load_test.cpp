// Eight clients at once against the real program, each ingesting scans and
// reading their reports in a loop: no request fails, and the resident size
// after the warm-up stays at the level it reached then. The run length is
// ZORVANE_LOAD_SECONDS (8 by default; scripts/soak.sh runs 60).

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "generated_scan.h"
#include "service_process.h"

namespace zorvane::testing {
namespace {

constexpr int kClients = 8;
// Later samples may exceed the post-warm-up level by this share plus a
// fixed slack for allocator noise; a leak per request exceeds both.
constexpr double kGrowthShare = 0.25;
constexpr long kSlackKiB = 24 * 1024;

int loadSeconds()
{
    const char* given = std::getenv("ZORVANE_LOAD_SECONDS");
    int seconds = given ? std::atoi(given) : 0;
    return seconds > 0 ? seconds : 8;
}

}  // namespace

TEST(ServiceProgramLoad, EightClientsWithoutErrorsAndFlatMemory)
{
    const int seconds = loadSeconds();
    auto dir = std::filesystem::temp_directory_path() / ("zorvane-load-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    ServiceProcess service;
    ASSERT_TRUE(service.start(dir / "scans.sqlite", dir / "service.log")) << service.logText();

    std::atomic<bool> stop{false};
    std::atomic<long> requests{0};
    std::mutex errorsMutex;
    std::vector<std::string> errors;
    auto fail = [&](std::string what) {
        std::lock_guard lock(errorsMutex);
        errors.push_back(std::move(what));
    };

    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (std::uint64_t n = 0; !stop; ++n) {
                ClientScan scan = generatedScan(static_cast<std::uint64_t>(c) << 32 | n, 10 + n % 30);
                Ingest done = ingest(service.port(), scan);
                requests += 2;
                if (done.submitStatus != 200) {
                    fail(done.error);
                    continue;
                }
                httplib::Client client("127.0.0.1", service.port());
                client.set_read_timeout(60, 0);
                for (const char* suffix : {"", ".json", ".csv"}) {
                    auto res = client.Get(("/scan/" + done.scanId + suffix).c_str());
                    ++requests;
                    if (!res || res->status != 200)
                        fail("GET /scan/" + done.scanId + suffix + ": " +
                             (res ? std::to_string(res->status) : httplib::to_string(res.error())));
                }
            }
        });
    }

    // The resident size twice a second; the first quarter of the run is the
    // warm-up, the second quarter sets the level.
    std::vector<long> samples;
    const int count = seconds * 2;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        samples.push_back(service.memoryKiB("VmRSS").value_or(0));
    }
    stop = true;
    for (auto& client : clients)
        client.join();

    const auto warm = samples.begin() + count / 4;
    const auto later = samples.begin() + count / 2;
    const long level = *std::max_element(warm, later);
    const long latest = *std::max_element(later, samples.end());
    const long allowed = static_cast<long>(static_cast<double>(level) * (1 + kGrowthShare)) + kSlackKiB;
    std::printf("%d clients, %d s, %ld requests, %zu errors; resident size after warm-up %ld MiB, "
                "later at most %ld MiB (allowed %ld MiB)\n",
                kClients, seconds, requests.load(), errors.size(), level / 1024, latest / 1024, allowed / 1024);
    EXPECT_TRUE(errors.empty()) << errors.size() << " failed requests, the first: " << errors.front();
    EXPECT_GT(requests.load(), 0);
    EXPECT_LE(latest, allowed) << "resident size kept growing after the warm-up";
    ASSERT_TRUE(service.alive()) << service.logText();
    int status = service.kill(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service.logText();
    std::filesystem::remove_all(dir);
}

}  // namespace zorvane::testing

namespace zorvane::testing {

// Two services never share a port (and so never split each other's clients).
TEST_F(ServiceTest, ASecondServiceCannotListenOnATakenPort)
{
    service::Service second(*store_, service::ServiceOptions{}, [](std::string_view) {});
    auto bound = second.bind("127.0.0.1", service_->port());
    ASSERT_FALSE(bound);
    EXPECT_NE(bound.error().reason.find("cannot listen"), std::string::npos) << bound.error().reason;
}

}  // namespace zorvane::testing
