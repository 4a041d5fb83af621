// The real program killed with SIGKILL while 100 scans are being ingested
// at once, several times over, restarted on the same SQLite file each time.
// After every kill the file is intact, every scan is complete or not
// submitted at all, and nothing that was acknowledged is lost; scans whose
// submission the kill cut off can be submitted after the restart.

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "generated_scan.h"
#include "service_process.h"

namespace zorvane::testing {
namespace {

constexpr int kKills = 5;
constexpr std::size_t kConcurrentIngests = 100;

std::uint64_t crashSeed()
{
    const char* given = std::getenv("ZORVANE_CRASH_SEED");
    return given && *given ? std::strtoull(given, nullptr, 10) : std::random_device{}();
}

// Every row of a query's first column, as text.
std::vector<std::string> column(sqlite3* db, const std::string& sql)
{
    std::vector<std::string> rows;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        return {"cannot prepare: " + sql};
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(stmt, 0);
        rows.emplace_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(stmt);
    return rows;
}

// What the database file holds after a kill, checked with a connection of
// its own: SQLite's own check, then no scan half-submitted.
void expectConsistentFile(const std::filesystem::path& file, const std::string& when)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK) << when;
    EXPECT_EQ(column(db, "PRAGMA integrity_check"), std::vector<std::string>{"ok"}) << when;
    EXPECT_EQ(column(db,
                     "SELECT scan_id FROM scans s WHERE "
                     "(submitted_at IS NULL AND EXISTS(SELECT 1 FROM processes p WHERE p.scan_id = s.scan_id)) OR "
                     "(submitted_at IS NOT NULL AND (SELECT COUNT(*) FROM processes p WHERE p.scan_id = s.scan_id) "
                     "  != (SELECT COUNT(*) FROM scan_slots t WHERE t.scan_id = s.scan_id))"),
              std::vector<std::string>{})
        << when << ": scans with some but not all of their processes";
    EXPECT_EQ(column(db,
                     "SELECT DISTINCT t.scan_id FROM scan_slots t JOIN scans s ON s.scan_id = t.scan_id "
                     "JOIN files f ON f.file_id = t.file_id WHERE s.submitted_at IS NOT NULL AND "
                     "((t.unknown = 0 AND f.complete = 0) OR (t.unknown = 1 AND NOT EXISTS(SELECT 1 FROM "
                     "scan_files x WHERE x.scan_id = t.scan_id AND x.file_id = t.file_id)))"),
              std::vector<std::string>{})
        << when << ": submitted scans whose files have no facts";
    EXPECT_EQ(column(db,
                     "SELECT scan_id FROM scan_slots WHERE scan_id NOT IN (SELECT scan_id FROM scans) UNION "
                     "SELECT scan_id FROM processes WHERE scan_id NOT IN (SELECT scan_id FROM scans)"),
              std::vector<std::string>{})
        << when << ": slots or processes without their scan";
    sqlite3_close(db);
}

}  // namespace

TEST(ServiceProgramCrashSafety, KilledDuringConcurrentIngestsLosesNothingAndLeavesNoPartialScan)
{
    const std::uint64_t seed = crashSeed();
    std::printf("crash seed %llu (ZORVANE_CRASH_SEED=%llu repeats this run)\n",
                static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
    std::mt19937_64 random(seed);
    auto dir = std::filesystem::temp_directory_path() / ("zorvane-crash-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    const auto db = dir / "scans.sqlite";

    std::vector<Ingest> all;         // every ingest of every round, as the client saw it
    std::vector<ClientScan> scans;   // their scans, for the final comparison
    scans.reserve(kConcurrentIngests * (kKills + 1));
    std::size_t cutOff = 0, resubmitted = 0;

    for (int round = 0; round <= kKills; ++round) {
        // All clients come from one address, as through a load balancer.
        ServiceProcess service;
        ASSERT_TRUE(service.start(db, dir / "service.log", {"--max-connections-per-address", "0"}))
            << service.logText();

        // Scans initialised but not acknowledged before the last kill are
        // submitted again: the service still holds what they were given.
        std::vector<Ingest*> cut;
        for (Ingest& earlier : all)
            if (earlier.initialised && earlier.submitStatus != 200 && earlier.submitStatus != 409)
                cut.push_back(&earlier);
        std::atomic<std::size_t> next{0};
        std::vector<std::thread> resubmitters;
        for (int t = 0; t < 8; ++t) {
            resubmitters.emplace_back([&] {
                for (std::size_t i; (i = next++) < cut.size();) {
                    httplib::Client client("127.0.0.1", service.port());
                    client.set_read_timeout(60, 0);
                    auto res = client.Post(("/corvelle/" + cut[i]->scanId + "/submitscan").c_str(),
                                           cut[i]->submitBody, "application/x-www-form-urlencoded");
                    cut[i]->submitStatus = res ? res->status : 0;
                }
            });
        }
        for (auto& t : resubmitters)
            t.join();
        for (const Ingest* earlier : cut)
            EXPECT_TRUE(earlier->submitStatus == 200 || earlier->submitStatus == 409)
                << earlier->scanId << " submitted again: " << earlier->submitStatus;
        resubmitted += cut.size();

        const std::size_t first = all.size();
        all.resize(first + kConcurrentIngests);
        for (std::size_t i = 0; i < kConcurrentIngests; ++i)
            scans.push_back(generatedScan(random(), 3 + random() % 22));
        // The kill comes once a random number of the scans have been
        // initialised, after a further random pause: while initialise and
        // submit requests of other scans are under way.
        const bool kill = round < kKills;
        const int killAtInitialised = static_cast<int>(random() % kConcurrentIngests);
        const auto killPause = std::chrono::milliseconds(random() % 300);
        const auto started = std::chrono::steady_clock::now();
        std::atomic<int> initialisedSoFar{0};
        std::atomic<std::size_t> finished{0};
        std::vector<std::thread> clients;
        for (std::size_t i = 0; i < kConcurrentIngests; ++i)
            clients.emplace_back([&, i] {
                all[first + i] = ingest(service.port(), scans[first + i], &initialisedSoFar);
                ++finished;
            });
        if (kill) {
            while (initialisedSoFar < killAtInitialised && finished < kConcurrentIngests)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(killPause);
            service.kill(SIGKILL);
        }
        for (auto& client : clients)
            client.join();

        std::size_t acknowledged = 0, initialised = 0;
        std::set<std::string> failures;
        for (std::size_t i = first; i < all.size(); ++i) {
            if (!all[i].error.empty())
                failures.insert(all[i].error.substr(0, 120));
            initialised += all[i].initialised ? 1 : 0;
            acknowledged += all[i].submitStatus == 200 ? 1 : 0;
            if (!kill) {
                EXPECT_EQ(all[i].submitStatus, 200) << all[i].error;
            } else if (all[i].submitStatus != 0) {
                EXPECT_EQ(all[i].submitStatus, 200) << all[i].error;
            }
        }
        cutOff += initialised - acknowledged;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
        if (kill)
            std::printf("round %d: SIGKILL once %d scans were initialised and %lld ms more (%lld ms in all); ",
                        round, killAtInitialised, static_cast<long long>(killPause.count()),
                        static_cast<long long>(elapsed.count()));
        else
            std::printf("round %d: no kill, %lld ms; ", round, static_cast<long long>(elapsed.count()));
        std::printf("%zu of %zu scans initialised, %zu stored and acknowledged\n", initialised, kConcurrentIngests,
                    acknowledged);
        for (const std::string& failure : failures)
            std::printf("  failed: %s\n", failure.c_str());
        if (!kill)
            service.kill(SIGTERM);
        expectConsistentFile(db, "after round " + std::to_string(round));
        if (::testing::Test::HasFailure())
            break;
    }

    // Every scan whose initialise was answered is in the file, and complete:
    // the acknowledged ones from the start, the cut-off ones once submitted again.
    auto opened = service::openSqliteStore(db.string());
    ASSERT_TRUE(opened) << opened.error().reason;
    auto& store = *opened;
    std::size_t complete = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (!all[i].initialised)
            continue;
        auto initialised = store->findScan(all[i].scanId);
        ASSERT_TRUE(initialised) << "an answered initialise was lost: " << all[i].scanId;
        EXPECT_EQ(initialised->slots.size(), all[i].records);
        auto stored = store->loadScan(all[i].scanId);
        ASSERT_TRUE(stored) << all[i].scanId << " (submit status " << all[i].submitStatus << ")";
        ASSERT_EQ(stored->processes.size(), all[i].records) << all[i].scanId;
        for (std::size_t k = 0; k < all[i].records; ++k) {
            const ProcessRecord& sent = scans[i].records[k];
            const service::StoredProcess& kept = stored->processes[k];
            const std::u16string* pid = sent.find("wmi.ProcessId");
            auto keptPid = kept.process.values.find("wmi.ProcessId");
            EXPECT_EQ(keptPid == kept.process.values.end() ? "" : keptPid->second, pid ? toUtf8(*pid) : "");
            auto file = stored->files.find(kept.slot.fileId);
            ASSERT_NE(file, stored->files.end());
            EXPECT_TRUE(file->second.own || file->second.known) << all[i].scanId << " record " << k;
        }
        ++complete;
    }
    std::printf("%d kills, %zu ingests, %zu cut off and submitted again (%zu requests), %zu scans complete\n",
                kKills, all.size(), cutOff, resubmitted, complete);
    store.reset();
    std::filesystem::remove_all(dir);
}

}  // namespace zorvane::testing
