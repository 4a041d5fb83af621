#pragma once
// The storage backends the tests run against, each handing out fresh,
// empty database locations: a SQLite file in a temporary directory, or a
// new database in the test cluster.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "service/store.h"

namespace zorvane::testing {

enum class BackendKind { Sqlite, Postgres };

inline std::string backendName(const ::testing::TestParamInfo<BackendKind>& info)
{
    return info.param == BackendKind::Sqlite ? "sqlite" : "postgresql";
}

struct PgConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct PgResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using PgConn = std::unique_ptr<PGconn, PgConnDeleter>;
using PgResult = std::unique_ptr<PGresult, PgResultDeleter>;

// The cluster's URL: ZORVANE_TEST_PG_URL, or the url file of the cluster
// that CTest started (ZORVANE_TEST_PG_STATE). Without either, or when the
// cluster script found no server programs, `skip` says why.
inline std::optional<std::string> clusterUrl(std::string& skip, std::string& failure)
{
    if (const char* url = std::getenv("ZORVANE_TEST_PG_URL"); url && *url)
        return std::string(url);
    const char* state = std::getenv("ZORVANE_TEST_PG_STATE");
    if (!state || !*state) {
        skip = "no PostgreSQL cluster: run through ctest, or set ZORVANE_TEST_PG_URL";
        return std::nullopt;
    }
    std::ifstream url(std::filesystem::path(state) / "url");
    std::string line;
    if (url && std::getline(url, line) && !line.empty())
        return line;
    std::ifstream absent(std::filesystem::path(state) / "absent");
    if (absent && std::getline(absent, line)) {
        skip = line;
        return std::nullopt;
    }
    failure = std::string("the test cluster is not running: no url in ") + state;
    return std::nullopt;
}

// Runs one statement on `conn`; false with the server's message on failure.
inline bool pgRun(PGconn* conn, const std::string& sql, std::string& error,
                  const std::vector<std::string>& params = {})
{
    std::vector<const char*> values;
    for (const auto& p : params)
        values.push_back(p.c_str());
    PgResult result(PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                 nullptr, 0));
    auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
        return true;
    error = PQerrorMessage(conn);
    return false;
}

// One empty database for one test, dropped again afterwards.
class TestDatabase {
public:
    explicit TestDatabase(BackendKind kind) : kind_(kind)
    {
        static std::atomic<int> counter{0};
        std::string unique = std::to_string(::getpid()) + "_" + std::to_string(counter++);
        if (kind_ == BackendKind::Sqlite) {
            dir_ = std::filesystem::temp_directory_path() / ("zorvane-store-test-" + unique);
            std::filesystem::remove_all(dir_);
            location_ = (dir_ / "scans.sqlite").string();
            return;
        }
        auto url = clusterUrl(skip_, failure_);
        if (!url)
            return;
        admin_.reset(PQconnectdb(url->c_str()));
        if (PQstatus(admin_.get()) != CONNECTION_OK) {
            failure_ = "cannot connect to " + *url + ": " + PQerrorMessage(admin_.get());
            return;
        }
        // Only digits and letters of our own: safe to spell out in SQL.
        name_ = "zorvane_test_" + unique;
        if (!pgRun(admin_.get(), "CREATE DATABASE " + name_, failure_))
            return;
        auto slash = url->rfind('/');
        auto query = url->find('?', slash);
        location_ = url->substr(0, slash + 1) + name_ + (query == std::string::npos ? "" : url->substr(query));
    }

    ~TestDatabase()
    {
        if (kind_ == BackendKind::Sqlite) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        } else if (admin_ && !name_.empty() && !location_.empty()) {
            std::string ignored;
            pgRun(admin_.get(), "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)", ignored);
        }
    }

    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    BackendKind kind() const { return kind_; }
    const std::string& location() const { return location_; }
    const std::string& skipReason() const { return skip_; }
    const std::string& failure() const { return failure_; }
    bool ready() const { return !location_.empty(); }

    // Runs SQL straight on the database, outside any store.
    bool run(const std::string& sql, std::string& error, const std::vector<std::string>& params = {})
    {
        if (kind_ == BackendKind::Postgres) {
            PgConn conn(PQconnectdb(location_.c_str()));
            if (PQstatus(conn.get()) != CONNECTION_OK) {
                error = PQerrorMessage(conn.get());
                return false;
            }
            return pgRun(conn.get(), sql, error, params);
        }
        return sqliteRun(sql, error);
    }

    // The first column of every row `sql` gives, as text; empty with the
    // reason in `error` when it fails.
    std::vector<std::string> column(const std::string& sql, std::string& error)
    {
        std::vector<std::string> values;
        if (kind_ == BackendKind::Postgres) {
            PgConn conn(PQconnectdb(location_.c_str()));
            PgResult result(PQexec(conn.get(), sql.c_str()));
            if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
                error = PQerrorMessage(conn.get());
                return values;
            }
            for (int row = 0; row < PQntuples(result.get()); ++row)
                values.emplace_back(PQgetvalue(result.get(), row, 0));
            return values;
        }
        sqlite3* raw = nullptr;
        sqlite3_open(location_.c_str(), &raw);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
        auto add = [](void* into, int, char** row, char**) {
            static_cast<std::vector<std::string>*>(into)->emplace_back(row[0] ? row[0] : "");
            return 0;
        };
        if (sqlite3_exec(db.get(), sql.c_str(), add, &values, nullptr) != SQLITE_OK)
            error = sqlite3_errmsg(db.get());
        return values;
    }

    // Closes every other connection to the database, as a restart of the
    // server or a network failure would.
    bool dropConnections(std::string& error)
    {
        return pgRun(admin_.get(),
                     "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                     "WHERE datname = $1 AND pid <> pg_backend_pid()",
                     error, {name_});
    }

private:
    bool sqliteRun(const std::string& sql, std::string& error)
    {
        std::filesystem::create_directories(dir_);
        sqlite3* raw = nullptr;
        int rc = sqlite3_open(location_.c_str(), &raw);
        std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
        char* message = nullptr;
        if (rc == SQLITE_OK)
            rc = sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &message);
        if (rc != SQLITE_OK)
            error = message ? message : sqlite3_errmsg(db.get());
        sqlite3_free(message);
        return rc == SQLITE_OK;
    }

    BackendKind kind_;
    std::filesystem::path dir_;
    std::string location_;
    std::string name_;
    std::string skip_;
    std::string failure_;
    PgConn admin_;
};

}  // namespace zorvane::testing
