#include "service/pg_store.h"

#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <type_traits>

#include "service/schema.h"

namespace zorvane::service {

namespace {

// schema_version holds one row per schema step applied.
constexpr int kSchemaVersion = kSchemaSteps;

// Held for the migration transaction, so that instances starting together
// apply each step once. The key is "zorv".
constexpr const char* kMigrationLockKey = "2054124150";

// A transaction that lost a serialization or deadlock check, or whose
// connection broke before it was committed, is run again this often in all.
constexpr int kAttempts = 3;

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnectionDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Connection = std::unique_ptr<PGconn, ConnectionDeleter>;

using Param = std::optional<std::string>;

std::string firstLine(const char* message)
{
    std::string text = message ? message : "";
    auto end = text.find('\n');
    if (end != std::string::npos)
        text.resize(end);
    return text.empty() ? "unknown error" : text;
}

void ignoreNotice(void*, const char*) {}

Expected<Connection> connect(const std::string& url)
{
    // Defaults first: what the URL says overrides them.
    const char* keywords[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {"10", "zorvane-service", url.c_str(), nullptr};
    Connection conn(PQconnectdbParams(keywords, values, 1));
    if (!conn)
        return reject(kUnavailable, "out of memory");
    if (PQstatus(conn.get()) != CONNECTION_OK || PQsetClientEncoding(conn.get(), "UTF8") != 0)
        return reject(kUnavailable, firstLine(PQerrorMessage(conn.get())));
    // "relation exists, skipping" and the like are not for the service's log.
    PQsetNoticeProcessor(conn.get(), ignoreNotice, nullptr);
    return conn;
}

// A literal of a PostgreSQL array, for sending a column of values as one
// parameter. Every text element is quoted, so that no value is read as NULL
// or split at a comma.
class ArrayLiteral {
public:
    void add(std::string_view text)
    {
        separate();
        text_ += '"';
        for (char c : text) {
            if (c == '"' || c == '\\')
                text_ += '\\';
            text_ += c;
        }
        text_ += '"';
    }
    void add(std::int64_t value)
    {
        separate();
        text_ += std::to_string(value);
    }
    std::string take()
    {
        text_ += '}';
        return std::move(text_);
    }

private:
    void separate()
    {
        if (text_.size() > 1)
            text_ += ',';
    }
    std::string text_ = "{";
};

// The ids as one array parameter.
std::string idArrayOf(const std::set<std::int64_t>& ids)
{
    ArrayLiteral array;
    for (std::int64_t id : ids)
        array.add(id);
    return array.take();
}

std::string text(const PGresult* result, int row, int column)
{
    return std::string(PQgetvalue(result, row, column), static_cast<std::size_t>(PQgetlength(result, row, column)));
}

std::optional<std::int64_t> integer(const PGresult* result, int row, int column)
{
    if (PQgetisnull(result, row, column))
        return std::nullopt;
    const char* begin = PQgetvalue(result, row, column);
    const char* end = begin + PQgetlength(result, row, column);
    std::int64_t value = 0;
    auto [stop, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

// A slot from the columns file_id, unknown, md5 starting at `column`;
// nothing when either number does not read.
std::optional<Slot> slotAt(const PGresult* result, int row, int column)
{
    auto id = integer(result, row, column);
    auto unknown = integer(result, row, column + 1);
    if (!id || !unknown)
        return std::nullopt;
    return Slot{*id, *unknown != 0, text(result, row, column + 2)};
}

std::int64_t affectedRows(const PGresult* result)
{
    const char* count = PQcmdTuples(const_cast<PGresult*>(result));
    std::int64_t value = 0;
    std::from_chars(count, count + std::char_traits<char>::length(count), value);
    return value;
}

// One connection's statements, with the reason of the last failure.
class Session {
public:
    explicit Session(PGconn* conn) : conn_(conn) {}

    // Runs one statement with text parameters. Empty when it failed; then
    // sqlState and message say why.
    Result run(const char* sql, const std::vector<Param>& params = {})
    {
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const Param& p : params)
            values.push_back(p ? p->c_str() : nullptr);
        Result result(PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                                   nullptr, 0));
        return checked(std::move(result));
    }

    // Runs constant SQL that may hold several statements and no parameters.
    Result script(const char* sql) { return checked(Result(PQexec(conn_, sql))); }

    // Commits the open transaction; false when it failed or was rolled
    // back instead.
    bool commit()
    {
        auto done = run("COMMIT");
        return done && std::string_view(PQcmdStatus(done.get())) == "COMMIT";
    }

    // The failure of the statement that just ran, in the database's words;
    // after statements that ran but gave rows this store never writes, the
    // words say so.
    std::unexpected<Rejection> failure() const
    {
        return reject(kUnavailable, message.empty() ? "unexpected result" : message);
    }

    bool broken() const { return PQstatus(conn_) == CONNECTION_BAD; }
    bool retryable() const { return sqlState == "40001" || sqlState == "40P01"; }

    std::string sqlState;
    std::string message;

private:
    Result checked(Result result)
    {
        auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            sqlState.clear();
            message.clear();
            return result;
        }
        const char* state = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
        sqlState = state ? state : "";
        const char* primary = result ? PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr;
        message = firstLine(primary ? primary : PQerrorMessage(conn_));
        return nullptr;
    }

    PGconn* conn_;
};

// Up to `max` connections, opened when first needed. A connection that
// broke, or that comes back inside a transaction, is closed; the next
// request opens a fresh one.
class ConnectionPool {
public:
    class Lease {
    public:
        Lease(ConnectionPool* pool, Connection conn) : pool_(pool), conn_(std::move(conn)) {}
        Lease(Lease&& other) noexcept = default;
        Lease& operator=(Lease&&) = delete;
        ~Lease()
        {
            if (pool_ && conn_)
                pool_->giveBack(std::move(conn_), discard_);
        }
        PGconn* get() const { return conn_.get(); }
        void discard() { discard_ = true; }

    private:
        ConnectionPool* pool_ = nullptr;
        Connection conn_;
        bool discard_ = false;
    };

    ConnectionPool(std::string url, std::size_t max) : url_(std::move(url)), max_(std::max<std::size_t>(max, 1)) {}

    void adopt(Connection conn)
    {
        std::lock_guard lock(mutex_);
        ++open_;
        idle_.push_back(std::move(conn));
    }

    Expected<Lease> acquire()
    {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !idle_.empty() || open_ < max_; });
        if (!idle_.empty()) {
            Connection conn = std::move(idle_.back());
            idle_.pop_back();
            return Lease(this, std::move(conn));
        }
        ++open_;
        lock.unlock();
        auto conn = connect(url_);
        if (!conn) {
            lock.lock();
            --open_;
            ready_.notify_one();
            return reject(conn.error());
        }
        return Lease(this, std::move(*conn));
    }

    // Closes the idle connections: after one broke, the server has most
    // likely restarted or failed over, and the others are as dead.
    void dropIdle()
    {
        std::vector<Connection> closing;
        {
            std::lock_guard lock(mutex_);
            closing.swap(idle_);
            open_ -= closing.size();
            ready_.notify_all();
        }
    }

private:
    void giveBack(Connection conn, bool discard)
    {
        bool keep = !discard && PQstatus(conn.get()) == CONNECTION_OK &&
                    PQtransactionStatus(conn.get()) == PQTRANS_IDLE;
        if (!keep)
            conn.reset();
        std::lock_guard lock(mutex_);
        if (keep)
            idle_.push_back(std::move(conn));
        else
            --open_;
        ready_.notify_one();
    }

    const std::string url_;
    const std::size_t max_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Connection> idle_;
    std::size_t open_ = 0;
};

constexpr const char* kBegin = "BEGIN";
constexpr const char* kBeginSnapshot = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";

// The steps of initialising a scan, each inside the scan's transaction.

// The digests of a scan: the distinct ones in one order for every scan, so
// that two scans reserving the same new files wait for each other instead
// of deadlocking, and how many records came without one.
struct ScanDigests {
    std::set<std::string> distinct;
    std::int64_t anonymous = 0;
};

ScanDigests digestsOf(const std::vector<std::string>& md5s)
{
    ScanDigests digests;
    for (const std::string& md5 : md5s) {
        if (md5.empty())
            ++digests.anonymous;
        else
            digests.distinct.insert(md5);
    }
    return digests;
}

// digest -> (file id, facts missing)
using FilesByDigest = std::map<std::string, std::pair<std::int64_t, bool>, std::less<>>;

// Adds the files of the digests in `array` that exist to `files`. The share
// lock keeps a purge from removing a file that this scan is about to name
// (see PgStore::removeScans).
Expected<> lookUpFiles(Session& s, const std::string& array, FilesByDigest& files)
{
    auto found = s.run("SELECT md5, file_id, complete FROM files WHERE md5 = ANY($1::text[]) "
                       "ORDER BY file_id FOR KEY SHARE",
                       {array});
    if (!found)
        return s.failure();
    for (int row = 0; row < PQntuples(found.get()); ++row) {
        auto id = integer(found.get(), row, 1);
        auto complete = integer(found.get(), row, 2);
        if (!id || !complete)
            return s.failure();
        files[text(found.get(), row, 0)] = {*id, *complete == 0};
    }
    return {};
}

// The file of every digest, reserving the files nobody has yet. A scan
// reserving the same digest concurrently makes the insert wait for its
// outcome; then the row is there and the second look-up finds it.
Expected<FilesByDigest> filesOfDigests(Session& s, const std::set<std::string>& digests)
{
    FilesByDigest files;
    if (digests.empty())
        return files;
    ArrayLiteral all;
    for (const std::string& md5 : digests)
        all.add(md5);
    if (auto found = lookUpFiles(s, all.take(), files); !found)
        return reject(found.error());
    ArrayLiteral missing;
    bool anyMissing = false;
    for (const std::string& md5 : digests) {
        if (!files.count(md5)) {
            missing.add(md5);
            anyMissing = true;
        }
    }
    if (anyMissing) {
        const std::string array = missing.take();
        if (!s.run("INSERT INTO files(md5) SELECT m FROM unnest($1::text[]) AS t(m) ORDER BY m "
                   "ON CONFLICT (md5) DO NOTHING",
                   {array}))
            return s.failure();
        if (auto found = lookUpFiles(s, array, files); !found)
            return reject(found.error());
    }
    if (files.size() != digests.size())
        return s.failure();
    return files;
}

// A file of its own for each record sent without a digest.
Expected<std::vector<std::int64_t>> reserveAnonymousFiles(Session& s, std::int64_t count)
{
    std::vector<std::int64_t> reserved;
    if (count == 0)
        return reserved;
    auto made = s.run("INSERT INTO files(md5) SELECT NULL FROM generate_series(1, $1::integer) RETURNING file_id",
                      {std::to_string(count)});
    if (!made || PQntuples(made.get()) != count)
        return s.failure();
    for (int row = 0; row < PQntuples(made.get()); ++row) {
        auto id = integer(made.get(), row, 0);
        if (!id)
            return s.failure();
        reserved.push_back(*id);
    }
    return reserved;
}

// The slots of the scan, one per record in scan order, written in one
// statement.
Expected<std::vector<Slot>> insertSlots(Session& s, const std::string& scanId, const std::vector<std::string>& md5s,
                                        const FilesByDigest& files, const std::vector<std::int64_t>& reserved)
{
    std::vector<Slot> slots;
    slots.reserve(md5s.size());
    ArrayLiteral positions, ids, unknown, digestColumn;
    std::size_t nextReserved = 0;
    for (const std::string& md5 : md5s) {
        Slot slot;
        slot.md5 = md5;
        if (md5.empty()) {
            slot.fileId = reserved[nextReserved++];
            slot.unknown = true;
        } else {
            const auto& file = files.find(md5)->second;
            slot.fileId = file.first;
            slot.unknown = file.second;
        }
        positions.add(static_cast<std::int64_t>(slots.size()));
        ids.add(slot.fileId);
        unknown.add(std::int64_t{slot.unknown ? 1 : 0});
        digestColumn.add(md5);
        slots.push_back(std::move(slot));
    }
    if (!slots.empty() &&
        !s.run("INSERT INTO scan_slots(scan_id, position, file_id, unknown, md5) "
               "SELECT $1, t.p, t.f, t.u, t.m "
               "FROM unnest($2::integer[], $3::bigint[], $4::integer[], $5::text[]) AS t(p, f, u, m)",
               {scanId, positions.take(), ids.take(), unknown.take(), digestColumn.take()}))
        return s.failure();
    return slots;
}

Expected<std::vector<Slot>> initialiseIn(Session& s, const ScanHeader& header, const std::vector<std::string>& md5s,
                                         const ScanDigests& digests)
{
    if (!s.run("INSERT INTO scans(scan_id, scan_time, client_ip) VALUES($1, $2, $3)",
               {header.scanId, header.scanTime, header.clientIp}))
        return s.failure();
    auto files = filesOfDigests(s, digests.distinct);
    if (!files)
        return reject(files.error());
    auto reserved = reserveAnonymousFiles(s, digests.anonymous);
    if (!reserved)
        return reject(reserved.error());
    return insertSlots(s, header.scanId, md5s, *files, *reserved);
}

// A submission as the columns of its rows, each column one array parameter.
// The scan's own facts have one row per file, the files in id order, so
// that the files that may become known are locked in id order: two scans
// bringing the last agreeing facts of one file count each other's, and
// cannot deadlock.
struct SubmissionRows {
    explicit SubmissionRows(const Submission& submission)
    {
        std::map<std::int64_t, const Values*> facts;
        for (const SubmittedFile& file : submission.files)
            facts.emplace(file.fileId, &file.facts);
        ArrayLiteral fileIds, fileSha1s, fileSizes, fileFacts;
        for (const auto& [id, values] : facts) {
            fileIds.add(id);
            fileSha1s.add(valueOf(*values, kSha1Key));
            fileSizes.add(valueOf(*values, kSizeKey));
            fileFacts.add(valuesToJson(*values));
        }
        files = facts.size();
        idArray = fileIds.take();
        sha1Array = fileSha1s.take();
        sizeArray = fileSizes.take();
        factArray = fileFacts.take();
        ArrayLiteral positions, processValues, moduleLists;
        for (const SubmittedProcess& process : submission.processes) {
            positions.add(static_cast<std::int64_t>(processes++));
            processValues.add(valuesToJson(process.values));
            moduleLists.add(modulesToJson(process.modules));
        }
        positionArray = positions.take();
        valueArray = processValues.take();
        moduleArray = moduleLists.take();
    }

    std::size_t files = 0;
    std::string idArray, sha1Array, sizeArray, factArray;
    std::size_t processes = 0;
    std::string positionArray, valueArray, moduleArray;
};

// The database's clock as the stored times read, and an hour before it.
#define ZORVANE_PG_NOW "to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS')"
#define ZORVANE_PG_HOUR_AGO "to_char((now() - interval '1 hour') AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS')"

// A set from the columns name, kind, imported_at and row_count of `row`.
std::optional<HashSetInfo> setInfoAt(const PGresult* result, int row)
{
    auto rows = integer(result, row, 3);
    if (!rows)
        return std::nullopt;
    return HashSetInfo{text(result, row, 0), text(result, row, 1) == "bad", text(result, row, 2), *rows};
}

// Fills the sets of `files`, whose digests are `md5s`, from the live sets
// in one statement: per set and file, a few entries by SHA-1 and a few by
// MD5, each an index look-up.
Expected<> matchSets(Session& s, std::map<std::int64_t, StoredFile>& files,
                     const std::map<std::int64_t, std::string>& md5s)
{
    ArrayLiteral ids, sha1s, digests;
    bool any = false;
    for (const auto& [id, file] : files) {
        const std::string sha1 = matchingSha1(file.facts);
        const auto md5 = md5s.find(id);
        if (sha1.empty() && (md5 == md5s.end() || md5->second.empty()))
            continue;
        ids.add(id);
        sha1s.add(sha1);
        digests.add(md5 == md5s.end() ? std::string() : md5->second);
        any = true;
    }
    if (!any)
        return {};
    auto rows = s.run("SELECT f.id, h.name, h.kind = 'bad', m.product, m.name "
                      "FROM hash_sets AS h CROSS JOIN unnest($1::bigint[], $2::text[], $3::text[]) AS f(id, sha1, md5) "
                      "CROSS JOIN LATERAL ("
                      " (SELECT r.product, r.name FROM hash_set_rows AS r WHERE h.row_count > h.md5_only "
                      "  AND r.sha1 = f.sha1 AND r.set_id = h.set_id LIMIT $4::integer) UNION ALL"
                      " (SELECT r.product, r.name FROM hash_set_rows AS r WHERE h.md5_only > 0 "
                      "  AND r.md5 = f.md5 AND r.sha1 IS NULL AND r.set_id = h.set_id LIMIT $4::integer)) AS m "
                      "WHERE h.state = 'live'",
                      {ids.take(), sha1s.take(), digests.take(), std::to_string(kMaxSetMatches)});
    if (!rows)
        return s.failure();
    std::set<std::int64_t> matched;
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
        auto id = integer(rows.get(), row, 0);
        auto file = id ? files.find(*id) : files.end();
        if (file == files.end())
            return s.failure();
        file->second.sets.push_back(SetMatch{text(rows.get(), row, 1), text(rows.get(), row, 2) == "t",
                                             text(rows.get(), row, 3), text(rows.get(), row, 4)});
        matched.insert(*id);
    }
    for (std::int64_t id : matched)
        orderSetMatches(files[id].sets);
    return {};
}

class PgStore final : public ScanStore {
public:
    PgStore(const std::string& url, Connection first, std::size_t maxConnections, StoreOptions options)
        : pool_(url, maxConnections), options_(std::move(options))
    {
        pool_.adopt(std::move(first));
    }

    Expected<std::vector<Slot>> initialiseScan(const ScanHeader& header, const std::vector<std::string>& md5s) override
    {
        const ScanDigests digests = digestsOf(md5s);
        return transact(operations::kInitialiseScan, kBegin,
                        [&](Session& s) { return initialiseIn(s, header, md5s, digests); });
    }

    Expected<InitialisedScan> findScan(std::string_view scanId) override
    {
        return transact(operations::kFindScan, kBeginSnapshot,
                        [&](Session& s) { return findScanIn(s, std::string(scanId)); });
    }

    Expected<> storeSubmission(const Submission& submission, std::string_view submittedAt) override
    {
        const SubmissionRows rows(submission);
        return transact(operations::kStoreScan, kBegin,
                        [&](Session& s) { return storeIn(s, submission, submittedAt, rows); });
    }

    Expected<StoredScan> loadScan(std::string_view scanId) override
    {
        return transact(operations::kLoadScan, kBeginSnapshot,
                        [&](Session& s) { return loadScanIn(s, std::string(scanId)); });
    }

    Expected<ScanOutline> loadScanOutline(std::string_view scanId) override
    {
        return transact(operations::kLoadOutline, kBeginSnapshot,
                        [&](Session& s) { return loadOutlineIn(s, std::string(scanId)); });
    }

    Expected<ScanPage> loadScanPage(std::string_view scanId, const PageRequest& request) override
    {
        return transact(operations::kLoadPage, kBeginSnapshot,
                        [&](Session& s) { return loadScanPageIn(s, std::string(scanId), request); });
    }

    Expected<Admission> admitScan(std::string_view clientIp, std::int64_t nowSeconds, std::int64_t windowSeconds,
                                  std::int64_t limit) override
    {
        return transact(operations::kAdmitScan, kBegin, [&](Session& s) {
            return countScanIn(s, std::string(clientIp), nowSeconds, windowSeconds, limit);
        });
    }

    Expected<> deleteReport(std::string_view scanId) override
    {
        return transact(operations::kDeleteReport, kBegin, [&](Session& s) -> Expected<> {
            ArrayLiteral ids;
            ids.add(scanId);
            auto gone = removeScans(s, ids.take(), "submitted_at IS NOT NULL", {});
            if (!gone)
                return reject(gone.error());
            if (*gone == 0)
                return reject(noSuchReport());
            return {};
        });
    }

    Expected<std::size_t> purgeExpired(const PurgeLimits& limits) override
    {
        return transact(operations::kPurge, kBegin, [&](Session& s) { return purgeIn(s, limits); });
    }

    Expected<std::vector<HashSetInfo>> listSets() override
    {
        return transact(operations::kListSets, kBeginSnapshot, [&](Session& s) -> Expected<std::vector<HashSetInfo>> {
            auto rows = s.run("SELECT name, kind, imported_at, row_count FROM hash_sets WHERE state = 'live' "
                              "ORDER BY name");
            if (!rows)
                return s.failure();
            std::vector<HashSetInfo> sets;
            for (int row = 0; row < PQntuples(rows.get()); ++row) {
                auto info = setInfoAt(rows.get(), row);
                if (!info)
                    return s.failure();
                sets.push_back(std::move(*info));
            }
            return sets;
        });
    }

protected:
    Expected<std::int64_t> createSet(std::string_view name, bool bad) override
    {
        return transact(operations::kImportSet, kBegin, [&](Session& s) -> Expected<std::int64_t> {
            auto created = s.run("UPDATE hash_sets SET state = 'removing' WHERE state = 'importing' "
                                 "AND imported_at < " ZORVANE_PG_HOUR_AGO)
                               ? s.run("INSERT INTO hash_sets(name, kind, state, imported_at) "
                                       "VALUES($1, $2, 'importing', " ZORVANE_PG_NOW ") RETURNING set_id",
                                       {std::string(name), bad ? "bad" : "good"})
                               : nullptr;
            auto id = created && PQntuples(created.get()) == 1 ? integer(created.get(), 0, 0) : std::nullopt;
            if (!id)
                return s.failure();
            return *id;
        });
    }

    Expected<> addSetEntries(std::int64_t setId, std::int64_t firstSeq, const std::vector<SetEntry>& entries) override
    {
        ArrayLiteral sha1s, md5s, names, products;
        for (const SetEntry& entry : entries) {
            sha1s.add(entry.sha1);
            md5s.add(entry.md5);
            names.add(entry.name);
            products.add(entry.product);
        }
        const std::vector<Param> params{std::to_string(setId), std::to_string(firstSeq), sha1s.take(), md5s.take(),
                                        names.take(), products.take()};
        const std::string count = std::to_string(firstSeq + static_cast<std::int64_t>(entries.size()));
        const std::string withoutSha1 = std::to_string(entriesWithoutSha1(entries));
        return transact(operations::kImportSet, kBegin, [&](Session& s) -> Expected<> {
            if (!s.run("INSERT INTO hash_set_rows(set_id, seq, sha1, md5, name, product) "
                       "SELECT $1::bigint, $2::bigint + t.o - 1, NULLIF(t.h, ''), NULLIF(t.m, ''), t.n, t.p "
                       "FROM unnest($3::text[], $4::text[], $5::text[], $6::text[]) WITH ORDINALITY AS t(h, m, n, p, o)",
                       params))
                return s.failure();
            auto touched = s.run("UPDATE hash_sets SET row_count = $2::bigint, md5_only = md5_only + $3::bigint, "
                                 "imported_at = " ZORVANE_PG_NOW " WHERE set_id = $1::bigint AND state = 'importing'",
                                 {params[0], count, withoutSha1});
            if (!touched)
                return s.failure();
            if (affectedRows(touched.get()) != 1)
                return reject(kUnavailable, "the import is no longer under way");
            return {};
        });
    }

    Expected<HashSetInfo> publishSet(std::int64_t setId) override
    {
        const std::vector<Param> id{std::to_string(setId)};
        return transact(operations::kImportSet, kBegin, [&](Session& s) -> Expected<HashSetInfo> {
            auto published =
                s.run("UPDATE hash_sets SET state = 'removing' WHERE state = 'live' AND name = "
                      "(SELECT name FROM hash_sets WHERE set_id = $1::bigint AND state = 'importing')",
                      id)
                    ? s.run("UPDATE hash_sets SET state = 'live', imported_at = " ZORVANE_PG_NOW
                            " WHERE set_id = $1::bigint AND state = 'importing' "
                            "RETURNING name, kind, imported_at, row_count",
                            id)
                    : nullptr;
            if (!published)
                return s.failure();
            if (PQntuples(published.get()) != 1)
                return reject(kUnavailable, "the import is no longer under way");
            auto info = setInfoAt(published.get(), 0);
            if (!info)
                return s.failure();
            return *info;
        });
    }

    Expected<> retireImport(std::int64_t setId) override
    {
        return runSetStatement(operations::kImportSet,
                               "UPDATE hash_sets SET state = 'removing' WHERE set_id = $1::bigint AND state = 'importing'",
                               {std::to_string(setId)});
    }

    Expected<bool> retireLiveSet(std::string_view name) override
    {
        return transact(operations::kRemoveSet, kBegin, [&](Session& s) -> Expected<bool> {
            auto retired = s.run("UPDATE hash_sets SET state = 'removing' WHERE name = $1 AND state = 'live'",
                                 {std::string(name)});
            if (!retired)
                return s.failure();
            return affectedRows(retired.get()) > 0;
        });
    }

    Expected<std::vector<std::pair<std::int64_t, std::int64_t>>> retiredSets() override
    {
        using Sets = std::vector<std::pair<std::int64_t, std::int64_t>>;
        return transact(operations::kRemoveSet, kBegin, [&](Session& s) -> Expected<Sets> {
            auto rows = s.run("SELECT set_id, row_count FROM hash_sets WHERE state = 'removing'");
            if (!rows)
                return s.failure();
            Sets sets;
            for (int row = 0; row < PQntuples(rows.get()); ++row) {
                auto id = integer(rows.get(), row, 0);
                auto count = integer(rows.get(), row, 1);
                if (!id || !count)
                    return s.failure();
                sets.emplace_back(*id, *count);
            }
            return sets;
        });
    }

    Expected<> deleteSetEntries(std::int64_t setId, std::int64_t fromSeq, std::int64_t toSeq) override
    {
        return runSetStatement(operations::kRemoveSet,
                               "DELETE FROM hash_set_rows WHERE set_id = $1::bigint AND seq >= $2::bigint "
                               "AND seq < $3::bigint",
                               {std::to_string(setId), std::to_string(fromSeq), std::to_string(toSeq)});
    }

    Expected<> forgetSet(std::int64_t setId) override
    {
        return runSetStatement(operations::kRemoveSet,
                               "WITH gone AS (DELETE FROM hash_set_rows WHERE set_id = $1::bigint) "
                               "DELETE FROM hash_sets WHERE set_id = $1::bigint AND state = 'removing'",
                               {std::to_string(setId)});
    }

private:
    // Runs one statement of the set steps in its own transaction.
    Expected<> runSetStatement(const StoreOperation& op, const char* sql, const std::vector<Param>& params)
    {
        return transact(op, kBegin, [&](Session& s) -> Expected<> {
            if (!s.run(sql, params))
                return s.failure();
            return {};
        });
    }

    // Runs `work` in one transaction on a pooled connection and commits it
    // when it gives a value. A rejection (no such scan) keeps nothing. A
    // database failure keeps nothing either; a transaction that lost a
    // serialization or deadlock check, or whose connection broke before
    // its commit, is run again, up to kAttempts in all. What still fails
    // is logged in the database's words and answered with the operation's
    // reason.
    template <typename Work>
    auto transact(const StoreOperation& op, const char* begin, Work work) -> std::invoke_result_t<Work&, Session&>
    {
        for (int attempt = 1;; ++attempt) {
            auto lease = pool_.acquire();
            if (!lease)
                return reject(
                    storageFailure(op, "postgresql", "cannot connect: " + lease.error().reason, options_.log));
            Session s(lease->get());
            using Answer = std::invoke_result_t<Work&, Session&>;
            Answer answer = s.run(begin) ? work(s) : Answer(s.failure());
            bool committing = false;
            if (answer) {
                committing = true;
                if (s.commit())
                    return answer;
                answer = s.failure();
            } else if (answer.error().status != kUnavailable) {
                s.run("ROLLBACK");
                return answer;
            }
            const bool broken = s.broken();
            // A commit whose answer was lost may have happened; running the
            // work again could then apply it twice.
            const bool retry = s.retryable() || (broken && !committing);
            if (broken) {
                lease->discard();
                pool_.dropIdle();
            } else {
                s.run("ROLLBACK");
            }
            if (!retry || attempt >= kAttempts)
                return reject(storageFailure(op, "postgresql", answer.error().reason, options_.log));
        }
    }

    Expected<> storeIn(Session& s, const Submission& submission, std::string_view submittedAt,
                       const SubmissionRows& rows) const
    {
        // A second submit of the scan, here or on another instance, waits
        // for this row and then finds it submitted.
        auto marked = s.run("UPDATE scans SET submitted_at = $1, scan_values = $2, client = $4 "
                            "WHERE scan_id = $3 AND submitted_at IS NULL",
                            {std::string(submittedAt), valuesToJson(submission.scanValues), submission.scanId,
                             submission.client});
        if (!marked)
            return s.failure();
        if (affectedRows(marked.get()) != 1) {
            auto exists = s.run("SELECT 1 FROM scans WHERE scan_id = $1", {submission.scanId});
            if (!exists)
                return s.failure();
            return reject(PQntuples(exists.get()) > 0 ? alreadySubmitted() : noSuchScan());
        }
        if (rows.files > 0 && !corroborate(s, submission, rows))
            return s.failure();
        if (rows.processes > 0 &&
            !s.run("INSERT INTO processes(scan_id, position, process_values, modules) "
                   "SELECT $1, t.p, t.v, t.m FROM unnest($2::integer[], $3::text[], $4::text[]) AS t(p, v, m)",
                   {submission.scanId, rows.positionArray, rows.valueArray, rows.moduleArray}))
            return s.failure();
        // Before the machine is counted: which files it never sent before.
        if (options_.rank && !rank(s, submission, submittedAt))
            return s.failure();
        return {};
    }

    // Counts the submission's machine among the machines of every file of
    // the scan that has a digest, and for the files it never sent before in
    // their counts (the rows the count inserted, not updated, so that two
    // scans of one machine at once count it once); compares the scan with
    // the machine's previous one; and counts the machine itself. Rows are
    // written in file order, so that two scans wait for each other rather
    // than deadlock.
    static bool rank(Session& s, const Submission& submission, std::string_view submittedAt)
    {
        const std::string at(submittedAt);
        auto fresh = s.run("WITH counted AS ("
                           "INSERT INTO file_machines(file_id, client, first_seen, last_seen) "
                           "SELECT DISTINCT file_id, $2, $3, $3 FROM scan_slots WHERE scan_id = $1 AND md5 <> '' "
                           "ORDER BY file_id "
                           "ON CONFLICT(file_id, client) DO UPDATE SET "
                           "first_seen = LEAST(file_machines.first_seen, excluded.first_seen), "
                           "last_seen = GREATEST(file_machines.last_seen, excluded.last_seen) "
                           "RETURNING file_id, xmax = 0 AS inserted) "
                           "SELECT file_id FROM counted WHERE inserted ORDER BY file_id",
                           {submission.scanId, submission.client, at});
        if (!fresh)
            return false;
        ArrayLiteral array;
        std::vector<std::int64_t> newFiles;
        for (int row = 0; row < PQntuples(fresh.get()); ++row) {
            auto id = integer(fresh.get(), row, 0);
            if (!id)
                return false;
            newFiles.push_back(*id);
            array.add(*id);
        }
        if (!newFiles.empty() &&
            !s.run("INSERT INTO file_counts(file_id, machines, first_seen) "
                   "SELECT id, 1, $2 FROM unnest($1::bigint[]) AS t(id) ORDER BY id "
                   "ON CONFLICT(file_id) DO UPDATE SET machines = file_counts.machines + 1, "
                   "first_seen = LEAST(file_counts.first_seen, excluded.first_seen)",
                   {array.take(), at}))
            return false;
        if (comparesScans(submission.client) && !compareWithPrevious(s, submission, std::move(newFiles)))
            return false;
        return static_cast<bool>(
            s.run("INSERT INTO machines(client, last_seen) VALUES($1, $2) "
                  "ON CONFLICT(client) DO UPDATE SET last_seen = GREATEST(machines.last_seen, excluded.last_seen)",
                  {submission.client, at}));
    }

    // Keeps with the scan what changed since its machine's previous
    // submitted scan, if it has one.
    static bool compareWithPrevious(Session& s, const Submission& submission, std::vector<std::int64_t> newFiles)
    {
        auto previous = s.run("SELECT scan_id, submitted_at FROM scans WHERE client = $1 AND scan_id <> $2 "
                              "AND submitted_at IS NOT NULL ORDER BY submitted_at DESC, scan_id DESC LIMIT 1",
                              {submission.client, submission.scanId});
        if (!previous)
            return false;
        if (PQntuples(previous.get()) == 0)
            return true;
        const std::string previousId = text(previous.get(), 0, 0);
        auto before = recordFacts(s, previousId);
        auto digests = s.run("SELECT md5 FROM scan_slots WHERE scan_id = $1 ORDER BY position", {submission.scanId});
        if (!before || !digests || PQntuples(digests.get()) != static_cast<int>(submission.processes.size()))
            return false;
        std::vector<RecordFacts> after;
        for (const SubmittedProcess& p : submission.processes)
            after.push_back(recordFactsOf(p.values, !p.modules.empty(),
                                          text(digests.get(), static_cast<int>(after.size()), 0)));
        ScanChange change = compareScans(*before, after);
        change.previousScanId = previousId;
        change.previousSubmittedAt = text(previous.get(), 0, 1);
        change.newFiles = std::move(newFiles);
        return static_cast<bool>(
            s.run("UPDATE scans SET changes = $1 WHERE scan_id = $2", {changeToJson(change), submission.scanId}));
    }

    // What comparing scans needs of each record of a stored scan.
    static std::optional<std::vector<RecordFacts>> recordFacts(Session& s, const std::string& scanId)
    {
        auto rows = s.run("SELECT p.process_values, p.modules <> '[]', sl.md5 FROM processes p JOIN scan_slots sl "
                          "ON sl.scan_id = p.scan_id AND sl.position = p.position WHERE p.scan_id = $1 "
                          "ORDER BY p.position",
                          {scanId});
        if (!rows)
            return std::nullopt;
        std::vector<RecordFacts> facts;
        for (int row = 0; row < PQntuples(rows.get()); ++row)
            facts.push_back(recordFactsOf(valuesFromJson(text(rows.get(), row, 0)), text(rows.get(), row, 1) == "t",
                                          text(rows.get(), row, 2)));
        return facts;
    }

    // Keeps the submission's facts as its own and makes known each file
    // whose SHA-1 and size enough distinct clients now agree on.
    bool corroborate(Session& s, const Submission& submission, const SubmissionRows& rows) const
    {
        // NO KEY UPDATE: submits of the same files wait for each other, an
        // initialise naming them (KEY SHARE) does not wait for either.
        auto open = s.run("SELECT file_id FROM files WHERE file_id = ANY($1::bigint[]) AND complete = 0 "
                          "AND md5 IS NOT NULL ORDER BY file_id FOR NO KEY UPDATE",
                          {rows.idArray});
        if (!open ||
            !s.run("INSERT INTO scan_files(scan_id, file_id, client, sha1, size, facts) "
                   "SELECT $1, t.f, $2, t.h, t.s, t.v "
                   "FROM unnest($3::bigint[], $4::text[], $5::text[], $6::text[]) AS t(f, h, s, v)",
                   {submission.scanId, submission.client, rows.idArray, rows.sha1Array, rows.sizeArray,
                    rows.factArray}))
            return false;
        if (PQntuples(open.get()) == 0)
            return true;
        ArrayLiteral candidates;
        for (int row = 0; row < PQntuples(open.get()); ++row)
            candidates.add(text(open.get(), row, 0));
        // Per file, the SHA-1 and size sent by the most distinct clients, if
        // that is enough of them, with the facts of every scan that sent it.
        auto agreeing = s.run(
            "SELECT g.file_id, f.facts FROM ("
            "  SELECT file_id, sha1, size, row_number() OVER (PARTITION BY file_id "
            "    ORDER BY count(DISTINCT client) DESC, sha1, size) AS rank "
            "  FROM scan_files WHERE file_id = ANY($1::bigint[]) AND sha1 <> '' "
            "  GROUP BY file_id, sha1, size HAVING count(DISTINCT client) >= $2::integer) AS g "
            "JOIN scan_files AS f ON f.file_id = g.file_id AND f.sha1 = g.sha1 AND f.size = g.size "
            "WHERE g.rank = 1",
            {candidates.take(), std::to_string(options_.corroborations)});
        if (!agreeing)
            return false;
        std::map<std::int64_t, std::vector<Values>> reports;
        for (int row = 0; row < PQntuples(agreeing.get()); ++row) {
            auto id = integer(agreeing.get(), row, 0);
            if (!id)
                return false;
            reports[*id].push_back(valuesFromJson(text(agreeing.get(), row, 1)));
        }
        if (reports.empty())
            return true;
        ArrayLiteral known, agreed, disputed;
        for (const auto& [id, facts] : reports) {
            auto consensus = consensusOf(facts);
            known.add(id);
            agreed.add(valuesToJson(consensus.agreed));
            disputed.add(disputesToJson(consensus.disputed));
        }
        return static_cast<bool>(s.run("UPDATE files AS f SET complete = 1, facts = t.a, disputed = t.d "
                                       "FROM unnest($1::bigint[], $2::text[], $3::text[]) AS t(id, a, d) "
                                       "WHERE f.file_id = t.id",
                                       {known.take(), agreed.take(), disputed.take()}));
    }

    static Expected<Admission> countScanIn(Session& s, const std::string& clientIp, std::int64_t nowSeconds,
                                           std::int64_t windowSeconds, std::int64_t limit)
    {
        // Every SET expression reads the row as it was; a second instance
        // counting the same address waits for this row.
        auto counted = s.run("INSERT INTO address_windows(client_ip, window_start, scans) "
                             "VALUES($1, $2::bigint, 1) ON CONFLICT (client_ip) DO UPDATE SET "
                             "scans = CASE WHEN address_windows.window_start <= $2::bigint - $3::bigint "
                             "THEN 1 ELSE address_windows.scans + 1 END, "
                             "window_start = CASE WHEN address_windows.window_start <= $2::bigint - $3::bigint "
                             "THEN $2::bigint ELSE address_windows.window_start END "
                             "RETURNING window_start, scans",
                             {clientIp, std::to_string(nowSeconds), std::to_string(windowSeconds)});
        if (!counted || PQntuples(counted.get()) != 1)
            return s.failure();
        auto start = integer(counted.get(), 0, 0);
        auto scans = integer(counted.get(), 0, 1);
        if (!start || !scans)
            return s.failure();
        Admission admission;
        admission.admitted = *scans <= limit;
        if (!admission.admitted)
            admission.retryAfterSeconds = std::max<std::int64_t>(1, *start + windowSeconds - nowSeconds);
        return admission;
    }

    static Expected<std::size_t> purgeIn(Session& s, const PurgeLimits& limits)
    {
        // Rows another instance is purging are skipped, not waited for.
        ArrayLiteral ids;
        std::size_t chosen = 0;
        for (const auto& [sql, before] :
             {std::pair{"SELECT scan_id FROM scans WHERE submitted_at IS NULL AND scan_time < $1 "
                        "LIMIT $2::bigint FOR UPDATE SKIP LOCKED",
                        &limits.initialisedBefore},
              std::pair{"SELECT scan_id FROM scans WHERE submitted_at < $1 LIMIT $2::bigint FOR UPDATE SKIP LOCKED",
                        &limits.submittedBefore}}) {
            auto doomed = s.run(sql, {*before, std::to_string(limits.batch - chosen)});
            if (!doomed)
                return s.failure();
            for (int row = 0; row < PQntuples(doomed.get()); ++row, ++chosen)
                ids.add(text(doomed.get(), row, 0));
        }
        auto removed = removeScans(s, ids.take(), "(submitted_at IS NULL AND scan_time < $2) OR submitted_at < $3",
                                   {limits.initialisedBefore, limits.submittedBefore});
        if (!removed)
            return removed;
        // Each file the unseen machines saw gets its count and first sight
        // from the machines that stay, before they go.
        for (const char* sql :
             {"UPDATE file_counts SET "
              "machines = (SELECT count(*) FROM file_machines f WHERE f.file_id = file_counts.file_id "
              "AND f.last_seen >= $1), "
              "first_seen = coalesce((SELECT min(f.first_seen) FROM file_machines f "
              "WHERE f.file_id = file_counts.file_id AND f.last_seen >= $1), '') "
              "WHERE file_id IN (SELECT file_id FROM file_machines WHERE last_seen < $1)",
              "DELETE FROM file_machines WHERE last_seen < $1",
              "DELETE FROM file_counts WHERE machines = 0 AND $1::text IS NOT NULL",
              "DELETE FROM machines WHERE last_seen < $1"}) {
            if (!s.run(sql, {limits.submittedBefore}))
                return s.failure();
        }
        if (!s.run("DELETE FROM address_windows WHERE client_ip IN "
                   "(SELECT client_ip FROM address_windows WHERE window_start < $1::bigint LIMIT 1000)",
                   {std::to_string(limits.windowsBefore)}))
            return s.failure();
        return removed;
    }

    // Removes the scans of `idArray` that still meet `condition` (whose
    // parameters from $2 on are `params`), with everything only they
    // reference; the number removed.
    static Expected<std::size_t> removeScans(Session& s, const std::string& idArray, const std::string& condition,
                                             std::vector<Param> params)
    {
        params.insert(params.begin(), idArray);
        auto gone = s.run(("DELETE FROM scans WHERE scan_id = ANY($1::text[]) AND (" + condition + ") RETURNING scan_id")
                              .c_str(),
                          params);
        if (!gone)
            return s.failure();
        const auto removed = static_cast<std::size_t>(PQntuples(gone.get()));
        if (removed == 0)
            return removed;
        ArrayLiteral ids;
        for (int row = 0; row < PQntuples(gone.get()); ++row)
            ids.add(text(gone.get(), row, 0));
        const std::string removedIds = ids.take();
        auto slots = s.run("DELETE FROM scan_slots WHERE scan_id = ANY($1::text[]) RETURNING file_id", {removedIds});
        if (!slots || !s.run("DELETE FROM processes WHERE scan_id = ANY($1::text[])", {removedIds}) ||
            !s.run("DELETE FROM scan_files WHERE scan_id = ANY($1::text[])", {removedIds}))
            return s.failure();
        std::set<std::int64_t> named;
        for (int row = 0; row < PQntuples(slots.get()); ++row) {
            auto id = integer(slots.get(), row, 0);
            if (!id)
                return s.failure();
            named.insert(*id);
        }
        if (named.empty())
            return removed;
        const std::string fileArray = idArrayOf(named);
        // Lock first, count after: an initialise that holds a share lock on
        // one of these files commits its slots before the count below, which
        // then sees them (each statement reads what was committed before it).
        if (!s.run("SELECT file_id FROM files WHERE file_id = ANY($1::bigint[]) AND complete = 0 "
                   "ORDER BY file_id FOR UPDATE",
                   {fileArray}) ||
            !s.run("DELETE FROM files AS f WHERE f.file_id = ANY($1::bigint[]) AND f.complete = 0 "
                   "AND NOT EXISTS (SELECT 1 FROM scan_slots AS s WHERE s.file_id = f.file_id)",
                   {fileArray}))
            return s.failure();
        return removed;
    }

    static Expected<InitialisedScan> findScanIn(Session& s, const std::string& scanId)
    {
        auto header = s.run("SELECT scan_time, client_ip, submitted_at IS NOT NULL FROM scans WHERE scan_id = $1",
                            {scanId});
        if (!header)
            return s.failure();
        if (PQntuples(header.get()) == 0)
            return reject(noSuchScan());
        InitialisedScan result;
        result.header.scanId = scanId;
        result.header.scanTime = text(header.get(), 0, 0);
        result.header.clientIp = text(header.get(), 0, 1);
        result.header.submitted = text(header.get(), 0, 2) == "t";
        auto slots = s.run("SELECT file_id, unknown, md5 FROM scan_slots WHERE scan_id = $1 ORDER BY position",
                           {scanId});
        if (!slots)
            return s.failure();
        for (int row = 0; row < PQntuples(slots.get()); ++row) {
            auto slot = slotAt(slots.get(), row, 0);
            if (!slot)
                return s.failure();
            result.slots.push_back(std::move(*slot));
        }
        return result;
    }

    // The files of `ids` as the scan `scanId` shows them: its own facts
    // where it sent some, else the corroborated ones (see fileInReport).
    // noSuchReport() when one of them is missing: no report rather than
    // half a one.
    Expected<std::map<std::int64_t, StoredFile>> filesOfScan(Session& s, const std::string& scanId,
                                                             const std::set<std::int64_t>& ids) const
    {
        std::map<std::int64_t, StoredFile> files;
        if (ids.empty())
            return files;
        const std::string idArray = idArrayOf(ids);
        auto ownFacts = s.run("SELECT file_id, facts FROM scan_files WHERE scan_id = $1 AND file_id = ANY($2::bigint[])",
                              {scanId, idArray});
        if (!ownFacts)
            return s.failure();
        std::map<std::int64_t, Values> own;
        for (int row = 0; row < PQntuples(ownFacts.get()); ++row) {
            auto id = integer(ownFacts.get(), row, 0);
            if (!id)
                return s.failure();
            own[*id] = valuesFromJson(text(ownFacts.get(), row, 1));
        }
        auto rows = s.run("SELECT file_id, complete, facts, disputed, coalesce(md5, '') FROM files "
                          "WHERE file_id = ANY($1::bigint[])",
                          {idArray});
        if (!rows)
            return s.failure();
        std::map<std::int64_t, std::string> md5s;
        for (int row = 0; row < PQntuples(rows.get()); ++row) {
            auto id = integer(rows.get(), row, 0);
            auto complete = integer(rows.get(), row, 1);
            if (!id || !complete)
                return s.failure();
            const auto stored = valuesFromJson(text(rows.get(), row, 2));
            const auto mine = own.find(*id);
            files[*id] = fileInReport(*complete != 0, stored, disputesFromJson(text(rows.get(), row, 3)),
                                      mine == own.end() ? nullptr : &mine->second, stored);
            md5s[*id] = text(rows.get(), row, 4);
        }
        if (files.size() != ids.size())
            return reject(noSuchReport());
        if (!options_.rank)
            return files;
        if (auto matched = matchSets(s, files, md5s); !matched)
            return reject(matched.error());
        auto seen = s.run("SELECT file_id, machines, first_seen FROM file_counts WHERE file_id = ANY($1::bigint[])",
                          {idArray});
        if (!seen)
            return s.failure();
        for (int row = 0; row < PQntuples(seen.get()); ++row) {
            auto id = integer(seen.get(), row, 0);
            auto machines = integer(seen.get(), row, 1);
            auto file = id ? files.find(*id) : files.end();
            if (!machines || file == files.end())
                return s.failure();
            file->second.prevalence = Prevalence{*machines, text(seen.get(), row, 2)};
        }
        return files;
    }

    // A stored record of a scan: its values and module list, and the slot
    // of its position.
    static StoredProcess storedProcess(const PGresult* rows, int row, int valuesColumn, Slot slot)
    {
        StoredProcess p;
        p.slot = std::move(slot);
        p.process.values = valuesFromJson(text(rows, row, valuesColumn));
        p.process.modules = modulesFromJson(text(rows, row, valuesColumn + 1));
        return p;
    }

    Expected<StoredScan> loadScanIn(Session& s, const std::string& scanId) const
    {
        auto initialised = findScanIn(s, scanId);
        if (!initialised)
            return reject(initialised.error().status == kNotFound ? noSuchReport() : initialised.error());
        if (!initialised->header.submitted)
            return reject(noSuchReport());
        auto values = s.run(
            "SELECT submitted_at, scan_values, (SELECT count(*) FROM machines) FROM scans WHERE scan_id = $1", {scanId});
        if (!values || PQntuples(values.get()) != 1)
            return s.failure();
        auto machines = integer(values.get(), 0, 2);
        if (!machines)
            return s.failure();
        StoredScan result;
        result.header = initialised->header;
        result.submittedAt = text(values.get(), 0, 0);
        result.scanValues = valuesFromJson(text(values.get(), 0, 1));
        result.machinesInAll = *machines;

        auto processes = s.run(
            "SELECT position, process_values, modules FROM processes WHERE scan_id = $1 ORDER BY position", {scanId});
        if (!processes)
            return s.failure();
        std::set<std::int64_t> wanted;
        for (int row = 0; row < PQntuples(processes.get()); ++row) {
            auto position = integer(processes.get(), row, 0);
            if (!position || *position < 0 || static_cast<std::size_t>(*position) >= initialised->slots.size())
                return reject(noSuchReport());  // not a scan this store wrote
            auto p = storedProcess(processes.get(), row, 1, initialised->slots[static_cast<std::size_t>(*position)]);
            wanted.insert(p.slot.fileId);
            for (const auto& m : p.process.modules) {
                if (m)
                    wanted.insert(*m);
            }
            result.processes.push_back(std::move(p));
        }
        auto files = filesOfScan(s, scanId, wanted);
        if (!files)
            return reject(files.error());
        result.files = std::move(*files);
        return result;
    }

    static Expected<ScanOutline> loadOutlineIn(Session& s, const std::string& scanId)
    {
        auto row = s.run("SELECT scan_time, client_ip, submitted_at, scan_values, "
                         "(SELECT count(*) FROM processes WHERE scan_id = $1), (SELECT count(*) FROM machines), "
                         "coalesce(changes, ''), "
                         "EXISTS (SELECT 1 FROM scans p WHERE p.scan_id = o.changes::json->>'previousScanId' "
                         "AND p.submitted_at IS NOT NULL) "
                         "FROM scans o WHERE scan_id = $1 AND submitted_at IS NOT NULL",
                         {scanId});
        if (!row)
            return s.failure();
        if (PQntuples(row.get()) == 0)
            return reject(noSuchReport());
        auto records = integer(row.get(), 0, 4);
        auto machines = integer(row.get(), 0, 5);
        if (!records || *records < 0 || !machines)
            return s.failure();
        ScanOutline outline{ScanHeader{scanId, text(row.get(), 0, 0), text(row.get(), 0, 1), true},
                            text(row.get(), 0, 2), valuesFromJson(text(row.get(), 0, 3)),
                            static_cast<std::size_t>(*records), *machines, std::nullopt};
        if (std::string changes = text(row.get(), 0, 6); !changes.empty()) {
            outline.change = changeFromJson(changes);
            if (outline.change)
                outline.change->previousKept = text(row.get(), 0, 7) == "t";
        }
        return outline;
    }

    // The records of one page: from request.first on, at most maxRecords,
    // and no more once their module lists reach maxModules entries.
    static Expected<std::vector<StoredProcess>> pageRecords(Session& s, const std::string& scanId,
                                                            const PageRequest& request)
    {
        std::string positions;
        if (!request.positions.empty()) {
            ArrayLiteral array;
            for (std::size_t position : request.positions)
                array.add(static_cast<std::int64_t>(position));
            positions = array.take();
        }
        // Either the given positions, in their order, or the next ones.
        auto records = positions.empty()
            ? s.run("SELECT p.process_values, p.modules, s.file_id, s.unknown, s.md5 "
                    "FROM processes p JOIN scan_slots s ON s.scan_id = p.scan_id AND s.position = p.position "
                    "WHERE p.scan_id = $1 AND p.position >= $2::integer ORDER BY p.position LIMIT $3::integer",
                    {scanId, std::to_string(request.first), std::to_string(request.maxRecords)})
            : s.run("SELECT p.process_values, p.modules, s.file_id, s.unknown, s.md5 "
                    "FROM unnest($2::integer[]) WITH ORDINALITY AS w(position, n) "
                    "JOIN processes p ON p.scan_id = $1 AND p.position = w.position "
                    "JOIN scan_slots s ON s.scan_id = p.scan_id AND s.position = p.position ORDER BY w.n",
                    {scanId, positions});
        if (!records)
            return s.failure();
        std::vector<StoredProcess> processes;
        std::size_t modules = 0;
        for (int row = 0; row < PQntuples(records.get()); ++row) {
            if (positions.empty() && !processes.empty() && modules >= request.maxModules)
                break;
            auto slot = slotAt(records.get(), row, 2);
            if (!slot)
                return s.failure();
            processes.push_back(storedProcess(records.get(), row, 0, std::move(*slot)));
            modules += processes.back().process.modules.size();
        }
        return processes;
    }

    // For each file of `named`: the path values of the scan's first record
    // of that file, by which a module naming it is shown.
    static Expected<std::map<std::int64_t, Values>> moduleRecords(Session& s, const std::string& scanId,
                                                                  const std::set<std::int64_t>& named)
    {
        std::map<std::int64_t, Values> records;
        if (named.empty())
            return records;
        for (std::int64_t id : named)
            records[id];
        auto rows = s.run("SELECT f.file_id, p.process_values FROM "
                          "(SELECT file_id, min(position) AS position FROM scan_slots "
                          " WHERE scan_id = $1 AND file_id = ANY($2::bigint[]) GROUP BY file_id) f "
                          "JOIN processes p ON p.scan_id = $1 AND p.position = f.position",
                          {scanId, idArrayOf(named)});
        if (!rows)
            return s.failure();
        for (int row = 0; row < PQntuples(rows.get()); ++row) {
            auto id = integer(rows.get(), row, 0);
            if (!id)
                return s.failure();
            records[*id] = pathValues(valuesFromJson(text(rows.get(), row, 1)));
        }
        return records;
    }

    Expected<ScanPage> loadScanPageIn(Session& s, const std::string& scanId, const PageRequest& request) const
    {
        auto submitted = s.run("SELECT 1 FROM scans WHERE scan_id = $1 AND submitted_at IS NOT NULL", {scanId});
        if (!submitted)
            return s.failure();
        if (PQntuples(submitted.get()) == 0)
            return reject(noSuchReport());
        auto records = pageRecords(s, scanId, request);
        if (!records)
            return reject(records.error());
        ScanPage page;
        page.processes = std::move(*records);
        std::set<std::int64_t> files, named;
        for (const StoredProcess& p : page.processes) {
            files.insert(p.slot.fileId);
            for (const auto& m : p.process.modules) {
                if (m && request.moduleRecords)
                    named.insert(*m);
            }
        }
        auto shown = filesOfScan(s, scanId, files);
        if (!shown)
            return reject(shown.error());
        page.files = std::move(*shown);
        auto modules = moduleRecords(s, scanId, named);
        if (!modules)
            return reject(modules.error());
        page.moduleRecords = std::move(*modules);
        return page;
    }

    ConnectionPool pool_;
    const StoreOptions options_;
};

// Applies the steps the database lacks, in one transaction under the
// migration lock; a newer schema than this service knows is left alone.
Expected<> migrate(PGconn* conn)
{
    Session s(conn);
    auto fail = [&](const std::string& what) {
        std::string reason = what + ": " + s.message;
        s.run("ROLLBACK");
        return reject(kUnavailable, std::move(reason));
    };
    if (!s.run("BEGIN"))
        return fail("cannot begin the schema update");
    if (!s.run("SELECT pg_advisory_xact_lock($1::bigint)", {std::string(kMigrationLockKey)}))
        return fail("cannot take the schema lock");
    if (!s.script("CREATE TABLE IF NOT EXISTS schema_version("
                  "version INTEGER PRIMARY KEY, applied_at TIMESTAMPTZ NOT NULL DEFAULT now())"))
        return fail("cannot create schema_version");
    auto current = s.run("SELECT coalesce(max(version), 0) FROM schema_version");
    if (!current)
        return fail("cannot read schema_version");
    auto version = integer(current.get(), 0, 0).value_or(-1);
    if (version < 0 || version > kSchemaVersion) {
        s.run("ROLLBACK");
        return reject(kUnavailable, "the schema is at version " + std::to_string(version) +
                                          ", newer than this service's " + std::to_string(kSchemaVersion) +
                                          "; nothing was changed");
    }
    for (auto step = version; step < kSchemaVersion; ++step) {
        if (!s.script(schemaStepScript(SqlDialect::Postgres, static_cast<int>(step)).c_str()) ||
            !s.run("INSERT INTO schema_version(version) VALUES($1::integer)", {std::to_string(step + 1)}))
            return fail("schema step " + std::to_string(step + 1));
    }
    if (!s.run("COMMIT"))
        return fail("cannot commit the schema update");
    return {};
}

}  // namespace

Expected<std::unique_ptr<ScanStore>> openPgStore(const std::string& url, PgStoreOptions options,
                                                 StoreOptions storeOptions)
{
    auto conn = connect(url);
    if (!conn)
        return reject(kUnavailable, "cannot connect to " + displayLocation(url) + ": " + conn.error().reason);
    if (auto migrated = migrate(conn->get()); !migrated)
        return reject(kUnavailable, "cannot prepare " + displayLocation(url) + ": " + migrated.error().reason);
    // A role without write rights, or a standby, passes the schema check
    // once the schema is current: commit one small write now.
    Session s(conn->get());
    if (!s.run("INSERT INTO write_check(id, checked_at) VALUES(1, now()) "
               "ON CONFLICT (id) DO UPDATE SET checked_at = excluded.checked_at"))
        return reject(kUnavailable, "cannot write " + displayLocation(url) + ": " + s.message);
    return std::make_unique<PgStore>(url, std::move(*conn), options.maxConnections, std::move(storeOptions));
}

}  // namespace zorvane::service
