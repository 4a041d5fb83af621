#include "service/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <tuple>

#include "service/schema.h"

namespace zorvane::service {

namespace {

constexpr int kBusyTimeoutMs = 5000;

// The database's words for the last failure on this thread; every store
// operation runs on one thread under the store's mutex, from its first
// statement to the log line.
thread_local std::string lastError;

void noteError(sqlite3* db)
{
    lastError = sqlite3_errmsg(db);
}

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

// A database's PRAGMA user_version is the number of schema steps it has
// had. The first step is the schema of the files made before the steps were
// counted, so those open as version 0 and keep their rows.
constexpr int kSchemaVersion = kSchemaSteps;

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            noteError(db);
            stmt_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }

    // Makes the statement ready for its next execution with new bindings.
    void reset()
    {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

    Statement& bind(int index, std::string_view text)
    {
        if (stmt_)
            sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, std::int64_t value)
    {
        if (stmt_)
            sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& bindNull(int index)
    {
        if (stmt_)
            sqlite3_bind_null(stmt_, index);
        return *this;
    }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step()
    {
        if (!stmt_)
            return SQLITE_ERROR;
        int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            noteError(db_);
        return rc;
    }
    bool run() { return step() == SQLITE_DONE; }

    std::string text(int column) const
    {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(stmt_, column))
                 : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE takes the write lock up front, so two writers wait for
// each other (up to the busy timeout) instead of failing half-way.
class Transaction {
public:
    // A write transaction takes the write lock at once; a read one ("BEGIN")
    // only holds one snapshot.
    explicit Transaction(sqlite3* db, const char* begin = "BEGIN IMMEDIATE") : db_(db)
    {
        began_ = sqlite3_exec(db_, begin, nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!began_)
            noteError(db_);
    }
    ~Transaction()
    {
        if (began_ && !committed_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    bool began() const { return began_; }
    bool commit()
    {
        committed_ = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!committed_)
            noteError(db_);
        return committed_;
    }

private:
    sqlite3* db_;
    bool began_ = false;
    bool committed_ = false;
};


// A failure of the statement that just ran, in the database's words; the
// store's public methods log it and answer their operation's reason.
std::unexpected<Rejection> databaseFailure()
{
    return reject(kUnavailable, lastError.empty() ? "inconsistent rows" : lastError);
}

// Steps `statement` to its first row; `absent` when it has none.
Expected<> firstRow(Statement& statement, Rejection absent)
{
    const int rc = statement.step();
    if (rc == SQLITE_ROW)
        return {};
    if (rc == SQLITE_DONE)
        return reject(std::move(absent));
    return databaseFailure();
}

// A file's stored state: corroborated or not, the facts agreed on and
// disputed, on how many machines it was seen, first when, and its digest.
constexpr const char* kFileSql =
    "SELECT f.complete, f.facts, f.disputed, coalesce(c.machines, 0), coalesce(c.first_seen, ''), "
    "coalesce(f.md5, '') FROM files f LEFT JOIN file_counts c ON c.file_id = f.file_id WHERE f.file_id = ?";

// Before the purge drops the machines not seen since ?1: each file they
// saw gets its count and first sight from the machines that stay.
constexpr const char* kRecountUnseenSql =
    "UPDATE file_counts SET "
    "machines = (SELECT count(*) FROM file_machines f WHERE f.file_id = file_counts.file_id AND f.last_seen >= ?1), "
    "first_seen = coalesce((SELECT min(f.first_seen) FROM file_machines f WHERE f.file_id = file_counts.file_id "
    "AND f.last_seen >= ?1), '') "
    "WHERE file_id IN (SELECT file_id FROM file_machines WHERE last_seen < ?1)";

// The database's clock as the stored times read, and an hour before it.
#define ZORVANE_SQLITE_NOW "strftime('%Y-%m-%d %H:%M:%S', 'now')"
#define ZORVANE_SQLITE_HOUR_AGO "strftime('%Y-%m-%d %H:%M:%S', 'now', '-1 hour')"

// The entries of the live sets that files match: per set, a few entries
// by SHA-1 and a few by MD5, each an index look-up; with no live set,
// nothing is looked up.
class SetMatcher {
public:
    // Disabled, it matches nothing (StoreOptions::rank).
    SetMatcher(sqlite3* db, bool enabled) : db_(db), enabled_(enabled) {}

    // Reads which sets are live; false when that fails.
    bool open()
    {
        if (!enabled_)
            return true;
        Statement live(db_, "SELECT set_id, name, kind = 'bad', row_count > md5_only, md5_only > 0 FROM hash_sets "
                            "WHERE state = 'live'");
        int rc;
        while ((rc = live.step()) == SQLITE_ROW)
            sets_.push_back(LiveSet{live.integer(0), live.text(1), live.integer(2) != 0, live.integer(3) != 0,
                                    live.integer(4) != 0});
        if (rc != SQLITE_DONE)
            return false;
        if (sets_.empty())
            return true;
        bySha1_ = std::make_unique<Statement>(
            db_, "SELECT product, name FROM hash_set_rows WHERE sha1 = ? AND set_id = ? LIMIT ?");
        byMd5_ = std::make_unique<Statement>(
            db_, "SELECT product, name FROM hash_set_rows WHERE md5 = ? AND sha1 IS NULL AND set_id = ? LIMIT ?");
        return bySha1_->ok() && byMd5_->ok();
    }

    // Fills file.sets; `md5` is the file's digest, or empty.
    bool match(const std::string& md5, StoredFile& file)
    {
        if (sets_.empty())
            return true;
        const std::string sha1 = matchingSha1(file.facts);
        for (const LiveSet& set : sets_) {
            for (auto [lookup, digest, holds] :
                 {std::tuple{bySha1_.get(), &sha1, set.bySha1}, std::tuple{byMd5_.get(), &md5, set.byMd5}}) {
                if (!holds || digest->empty())
                    continue;
                lookup->reset();
                lookup->bind(1, *digest).bind(2, set.id).bind(3, static_cast<std::int64_t>(kMaxSetMatches));
                int rc;
                while ((rc = lookup->step()) == SQLITE_ROW)
                    file.sets.push_back(SetMatch{set.name, set.bad, lookup->text(0), lookup->text(1)});
                if (rc != SQLITE_DONE)
                    return false;
            }
        }
        orderSetMatches(file.sets);
        return true;
    }

private:
    struct LiveSet {
        std::int64_t id;
        std::string name;
        bool bad;
        bool bySha1;  // it holds entries with a SHA-1
        bool byMd5;   // it holds entries without one
    };
    sqlite3* db_;
    const bool enabled_;
    std::vector<LiveSet> sets_;
    std::unique_ptr<Statement> bySha1_;
    std::unique_ptr<Statement> byMd5_;
};

// A set as listSets and publishSet answer it, from the columns name, kind,
// imported_at and row_count.
HashSetInfo setInfo(const Statement& row)
{
    return HashSetInfo{row.text(0), row.text(1) == "bad", row.text(2), row.integer(3)};
}

class SqliteStore final : public ScanStore {
public:
    SqliteStore(Database db, StoreOptions options) : database_(std::move(db)), options_(std::move(options)) {}

    Expected<std::vector<Slot>> initialiseScan(const ScanHeader& header, const std::vector<std::string>& md5s) override
    {
        auto lock = operation();
        return finish(operations::kInitialiseScan, initialiseLocked(header, md5s));
    }

    Expected<InitialisedScan> findScan(std::string_view scanId) override
    {
        auto lock = operation();
        return finish(operations::kFindScan, findScanLocked(scanId));
    }

    Expected<> storeSubmission(const Submission& submission, std::string_view submittedAt) override
    {
        auto lock = operation();
        return finish(operations::kStoreScan, storeLocked(submission, submittedAt));
    }

    Expected<StoredScan> loadScan(std::string_view scanId) override
    {
        auto lock = operation();
        return finish(operations::kLoadScan, inSnapshot([&] { return loadScanLocked(scanId); }));
    }

    Expected<ScanOutline> loadScanOutline(std::string_view scanId) override
    {
        auto lock = operation();
        return finish(operations::kLoadOutline, inSnapshot([&] { return loadOutlineLocked(scanId); }));
    }

    Expected<ScanPage> loadScanPage(std::string_view scanId, const PageRequest& request) override
    {
        auto lock = operation();
        return finish(operations::kLoadPage, inSnapshot([&] { return loadScanPageLocked(scanId, request); }));
    }

    Expected<Admission> admitScan(std::string_view clientIp, std::int64_t nowSeconds, std::int64_t windowSeconds,
                                  std::int64_t limit) override
    {
        auto lock = operation();
        return finish(operations::kAdmitScan, admitLocked(clientIp, nowSeconds, windowSeconds, limit));
    }

    Expected<> deleteReport(std::string_view scanId) override
    {
        auto lock = operation();
        return finish(operations::kDeleteReport, deleteLocked(scanId));
    }

    Expected<std::size_t> purgeExpired(const PurgeLimits& limits) override
    {
        auto lock = operation();
        return finish(operations::kPurge, purgeLocked(limits));
    }

    Expected<std::vector<HashSetInfo>> listSets() override
    {
        auto lock = operation();
        Statement sets(db_,
                       "SELECT name, kind, imported_at, row_count FROM hash_sets WHERE state = 'live' ORDER BY name");
        std::vector<HashSetInfo> result;
        int rc;
        while ((rc = sets.step()) == SQLITE_ROW)
            result.push_back(setInfo(sets));
        if (rc != SQLITE_DONE)
            return finish(operations::kListSets, Expected<std::vector<HashSetInfo>>(databaseFailure()));
        return result;
    }

protected:
    Expected<std::int64_t> createSet(std::string_view name, bool bad) override
    {
        auto lock = operation();
        return finish(operations::kImportSet, inWrite([&]() -> Expected<std::int64_t> {
                          Statement stale(db_, "UPDATE hash_sets SET state = 'removing' WHERE state = 'importing' "
                                               "AND imported_at < " ZORVANE_SQLITE_HOUR_AGO);
                          Statement create(db_, "INSERT INTO hash_sets(name, kind, state, imported_at) "
                                                "VALUES(?, ?, 'importing', " ZORVANE_SQLITE_NOW ")");
                          if (!stale.run() || !create.bind(1, name).bind(2, bad ? "bad" : "good").run())
                              return databaseFailure();
                          return sqlite3_last_insert_rowid(db_);
                      }));
    }

    Expected<> addSetEntries(std::int64_t setId, std::int64_t firstSeq, const std::vector<SetEntry>& entries) override
    {
        auto lock = operation();
        return finish(operations::kImportSet, inWrite([&]() -> Expected<> {
                          Statement insert(db_, "INSERT INTO hash_set_rows(set_id, seq, sha1, md5, name, product) "
                                                "VALUES(?, ?, ?, ?, ?, ?)");
                          std::int64_t seq = firstSeq;
                          for (const SetEntry& entry : entries) {
                              insert.reset();
                              insert.bind(1, setId).bind(2, seq++).bind(5, entry.name).bind(6, entry.product);
                              bindDigest(insert, 3, entry.sha1);
                              bindDigest(insert, 4, entry.md5);
                              if (!insert.run())
                                  return databaseFailure();
                          }
                          Statement touch(db_, "UPDATE hash_sets SET row_count = ?, md5_only = md5_only + ?, "
                                               "imported_at = " ZORVANE_SQLITE_NOW
                                               " WHERE set_id = ? AND state = 'importing'");
                          if (!touch.bind(1, seq).bind(2, entriesWithoutSha1(entries)).bind(3, setId).run())
                              return databaseFailure();
                          if (sqlite3_changes(db_) != 1)
                              return reject(kUnavailable, "the import is no longer under way");
                          return {};
                      }));
    }

    Expected<HashSetInfo> publishSet(std::int64_t setId) override
    {
        auto lock = operation();
        return finish(operations::kImportSet, inWrite([&]() -> Expected<HashSetInfo> {
                          Statement replace(db_, "UPDATE hash_sets SET state = 'removing' WHERE state = 'live' AND name = "
                                                 "(SELECT name FROM hash_sets WHERE set_id = ?1 AND state = 'importing')");
                          Statement publish(db_, "UPDATE hash_sets SET state = 'live', imported_at = " ZORVANE_SQLITE_NOW
                                                 " WHERE set_id = ? AND state = 'importing' "
                                                 "RETURNING name, kind, imported_at, row_count");
                          if (!replace.bind(1, setId).run())
                              return databaseFailure();
                          const int rc = publish.bind(1, setId).step();
                          if (rc == SQLITE_DONE)
                              return reject(kUnavailable, "the import is no longer under way");
                          if (rc != SQLITE_ROW)
                              return databaseFailure();
                          HashSetInfo info = setInfo(publish);
                          if (!publish.run())
                              return databaseFailure();
                          return info;
                      }));
    }

    Expected<> retireImport(std::int64_t setId) override
    {
        auto lock = operation();
        Statement retire(db_, "UPDATE hash_sets SET state = 'removing' WHERE set_id = ? AND state = 'importing'");
        return finish(operations::kImportSet, retire.bind(1, setId).run() ? Expected<>() : databaseFailure());
    }

    Expected<bool> retireLiveSet(std::string_view name) override
    {
        auto lock = operation();
        Statement retire(db_, "UPDATE hash_sets SET state = 'removing' WHERE name = ? AND state = 'live'");
        if (!retire.bind(1, name).run())
            return finish(operations::kRemoveSet, Expected<bool>(databaseFailure()));
        return sqlite3_changes(db_) > 0;
    }

    Expected<std::vector<std::pair<std::int64_t, std::int64_t>>> retiredSets() override
    {
        auto lock = operation();
        Statement retired(db_, "SELECT set_id, row_count FROM hash_sets WHERE state = 'removing'");
        std::vector<std::pair<std::int64_t, std::int64_t>> sets;
        int rc;
        while ((rc = retired.step()) == SQLITE_ROW)
            sets.emplace_back(retired.integer(0), retired.integer(1));
        if (rc != SQLITE_DONE)
            return finish(operations::kRemoveSet, decltype(retiredSets())(databaseFailure()));
        return sets;
    }

    Expected<> deleteSetEntries(std::int64_t setId, std::int64_t fromSeq, std::int64_t toSeq) override
    {
        auto lock = operation();
        Statement remove(db_, "DELETE FROM hash_set_rows WHERE set_id = ? AND seq >= ? AND seq < ?");
        return finish(operations::kRemoveSet,
                      remove.bind(1, setId).bind(2, fromSeq).bind(3, toSeq).run() ? Expected<>() : databaseFailure());
    }

    Expected<> forgetSet(std::int64_t setId) override
    {
        auto lock = operation();
        return finish(operations::kRemoveSet, inWrite([&]() -> Expected<> {
                          Statement rows(db_, "DELETE FROM hash_set_rows WHERE set_id = ?");
                          Statement set(db_, "DELETE FROM hash_sets WHERE set_id = ? AND state = 'removing'");
                          if (!rows.bind(1, setId).run() || !set.bind(1, setId).run())
                              return databaseFailure();
                          return {};
                      }));
    }

private:
    static void bindDigest(Statement& statement, int index, const std::string& digest)
    {
        if (digest.empty())
            statement.bindNull(index);
        else
            statement.bind(index, digest);
    }

    // Runs `write` in one write transaction and commits what it answers
    // with a value.
    template <typename Write>
    auto inWrite(Write write) -> decltype(write())
    {
        Transaction tx(db_);
        if (!tx.began())
            return databaseFailure();
        auto answer = write();
        if (answer && !tx.commit())
            return databaseFailure();
        return answer;
    }

    // Every operation runs under the store's mutex, from its first
    // statement to its log line.
    std::unique_lock<std::mutex> operation()
    {
        std::unique_lock lock(mutex_);
        lastError.clear();
        return lock;
    }

    // A database failure is logged in the database's words and answered
    // with the operation's reason; a scan or report that is not there is
    // answered as it is.
    template <typename T>
    Expected<T> finish(const StoreOperation& op, Expected<T> answer)
    {
        if (!answer && answer.error().status == kUnavailable)
            return reject(storageFailure(op, "sqlite", answer.error().reason, options_.log));
        return answer;
    }

    // Runs `read` in one read transaction, so that what it reads is one
    // snapshot; the transaction ends even when reading throws (out of
    // memory).
    template <typename Read>
    auto inSnapshot(Read read) -> decltype(read())
    {
        Transaction tx(db_, "BEGIN");
        if (!tx.began())
            return databaseFailure();
        auto answer = read();
        tx.commit();
        return answer;
    }

    // The file that `md5` names, reserved (unknown) when no scan named it
    // before; every empty digest reserves a file of its own.
    Expected<Slot> slotFor(const std::string& md5, Statement& findFile, Statement& reserveFile)
    {
        Slot slot;
        slot.md5 = md5;
        if (!md5.empty()) {
            findFile.reset();
            findFile.bind(1, md5);
            int rc = findFile.step();
            if (rc == SQLITE_ROW) {
                slot.fileId = findFile.integer(0);
                slot.unknown = findFile.integer(1) == 0;
                return slot;
            }
            if (rc != SQLITE_DONE)
                return databaseFailure();
        }
        reserveFile.reset();
        if (md5.empty())
            reserveFile.bindNull(1);
        else
            reserveFile.bind(1, md5);
        if (!reserveFile.run())
            return databaseFailure();
        slot.fileId = sqlite3_last_insert_rowid(db_);
        slot.unknown = true;
        return slot;
    }

    Expected<std::vector<Slot>> initialiseLocked(const ScanHeader& header, const std::vector<std::string>& md5s)
    {
        Transaction tx(db_);
        if (!tx.began())
            return databaseFailure();
        Statement insertScan(db_, "INSERT INTO scans(scan_id, scan_time, client_ip) VALUES(?, ?, ?)");
        if (!insertScan.bind(1, header.scanId).bind(2, header.scanTime).bind(3, header.clientIp).run())
            return databaseFailure();

        Statement findFile(db_, "SELECT file_id, complete FROM files WHERE md5 = ?");
        Statement reserveFile(db_, "INSERT INTO files(md5) VALUES(?)");
        Statement insertSlot(
            db_, "INSERT INTO scan_slots(scan_id, position, file_id, unknown, md5) VALUES(?, ?, ?, ?, ?)");
        if (!findFile.ok() || !reserveFile.ok() || !insertSlot.ok())
            return databaseFailure();

        std::vector<Slot> slots;
        slots.reserve(md5s.size());
        for (const std::string& md5 : md5s) {
            auto slot = slotFor(md5, findFile, reserveFile);
            if (!slot)
                return reject(slot.error());
            insertSlot.reset();
            insertSlot.bind(1, header.scanId)
                .bind(2, static_cast<std::int64_t>(slots.size()))
                .bind(3, slot->fileId)
                .bind(4, std::int64_t{slot->unknown ? 1 : 0})
                .bind(5, slot->md5);
            if (!insertSlot.run())
                return databaseFailure();
            slots.push_back(std::move(*slot));
        }
        if (!tx.commit())
            return databaseFailure();
        return slots;
    }

    Expected<> storeLocked(const Submission& submission, std::string_view submittedAt)
    {
        Transaction tx(db_);
        if (!tx.began())
            return databaseFailure();
        Statement markScan(db_,
                           "UPDATE scans SET submitted_at = ?, scan_values = ?, client = ? "
                           "WHERE scan_id = ? AND submitted_at IS NULL");
        if (!markScan.bind(1, submittedAt)
                 .bind(2, valuesToJson(submission.scanValues))
                 .bind(3, submission.client)
                 .bind(4, submission.scanId)
                 .run())
            return databaseFailure();
        if (sqlite3_changes(db_) != 1) {
            auto existing = findScanLocked(submission.scanId);
            return existing ? reject(alreadySubmitted()) : reject(existing.error());
        }

        if (!insertFactsLocked(submission) || !insertProcessesLocked(submission))
            return databaseFailure();
        for (const SubmittedFile& file : submission.files) {
            if (!corroborateLocked(file.fileId))
                return databaseFailure();
        }
        if (options_.rank && !rankLocked(submission, submittedAt))
            return databaseFailure();
        if (!tx.commit())
            return databaseFailure();
        return {};
    }

    // The facts the submission sent, kept as its own.
    bool insertFactsLocked(const Submission& submission)
    {
        Statement insertFacts(
            db_, "INSERT INTO scan_files(scan_id, file_id, client, sha1, size, facts) VALUES(?, ?, ?, ?, ?, ?)");
        for (const SubmittedFile& file : submission.files) {
            insertFacts.reset();
            insertFacts.bind(1, submission.scanId)
                .bind(2, file.fileId)
                .bind(3, submission.client)
                .bind(4, valueOf(file.facts, kSha1Key))
                .bind(5, valueOf(file.facts, kSizeKey))
                .bind(6, valuesToJson(file.facts));
            if (!insertFacts.run())
                return false;
        }
        return insertFacts.ok();
    }

    bool insertProcessesLocked(const Submission& submission)
    {
        Statement insertProcess(
            db_, "INSERT INTO processes(scan_id, position, process_values, modules) VALUES(?, ?, ?, ?)");
        std::int64_t position = 0;
        for (const SubmittedProcess& process : submission.processes) {
            insertProcess.reset();
            insertProcess.bind(1, submission.scanId)
                .bind(2, position++)
                .bind(3, valuesToJson(process.values))
                .bind(4, modulesToJson(process.modules));
            if (!insertProcess.run())
                return false;
        }
        return insertProcess.ok();
    }

    // Counts the submission's client among the machines of every file of
    // the scan that has a digest, and among the machines in all.
    bool countMachineLocked(const Submission& submission, std::string_view submittedAt)
    {
        Statement files(db_,
                        "INSERT INTO file_machines(file_id, client, first_seen, last_seen) "
                        "SELECT DISTINCT file_id, ?2, ?3, ?3 FROM scan_slots WHERE scan_id = ?1 AND md5 <> '' "
                        "ON CONFLICT(file_id, client) DO UPDATE SET "
                        "first_seen = min(first_seen, excluded.first_seen), "
                        "last_seen = max(last_seen, excluded.last_seen)");
        Statement machine(db_,
                          "INSERT INTO machines(client, last_seen) VALUES(?1, ?2) "
                          "ON CONFLICT(client) DO UPDATE SET last_seen = max(last_seen, excluded.last_seen)");
        return files.bind(1, submission.scanId).bind(2, submission.client).bind(3, submittedAt).run() &&
               machine.bind(1, submission.client).bind(2, submittedAt).run();
    }

    // Counts the submission's machine for the files it never sent before
    // (each file's count and first sight, kept on its row so that a report
    // reads them with the file), compares the scan with the machine's
    // previous one, and counts the machine itself.
    bool rankLocked(const Submission& submission, std::string_view submittedAt)
    {
        Statement fresh(db_,
                        "SELECT DISTINCT file_id FROM scan_slots s WHERE scan_id = ?1 AND md5 <> '' AND NOT EXISTS "
                        "(SELECT 1 FROM file_machines f WHERE f.file_id = s.file_id AND f.client = ?2) ORDER BY file_id");
        fresh.bind(1, submission.scanId).bind(2, submission.client);
        std::vector<std::int64_t> newFiles;
        int rc;
        while ((rc = fresh.step()) == SQLITE_ROW)
            newFiles.push_back(fresh.integer(0));
        if (rc != SQLITE_DONE)
            return false;
        Statement count(db_,
                        "INSERT INTO file_counts(file_id, machines, first_seen) VALUES(?1, 1, ?2) "
                        "ON CONFLICT(file_id) DO UPDATE SET machines = machines + 1, "
                        "first_seen = min(first_seen, excluded.first_seen)");
        for (std::int64_t id : newFiles) {
            count.reset();
            if (!count.bind(1, id).bind(2, submittedAt).run())
                return false;
        }
        if (comparesScans(submission.client) && !compareWithPreviousLocked(submission, std::move(newFiles)))
            return false;
        return countMachineLocked(submission, submittedAt);
    }

    // Keeps with the scan what changed since its machine's previous
    // submitted scan, if it has one.
    bool compareWithPreviousLocked(const Submission& submission, std::vector<std::int64_t> newFiles)
    {
        Statement previous(db_,
                           "SELECT scan_id, submitted_at FROM scans WHERE client = ?1 AND scan_id <> ?2 "
                           "AND submitted_at IS NOT NULL ORDER BY submitted_at DESC, scan_id DESC LIMIT 1");
        previous.bind(1, submission.client).bind(2, submission.scanId);
        int rc = previous.step();
        if (rc == SQLITE_DONE)
            return true;
        if (rc != SQLITE_ROW)
            return false;
        const std::string previousId = previous.text(0);
        auto before = recordFactsLocked(previousId);
        if (!before)
            return false;
        Statement digests(db_, "SELECT md5 FROM scan_slots WHERE scan_id = ? ORDER BY position");
        digests.bind(1, submission.scanId);
        std::vector<RecordFacts> after;
        for (const SubmittedProcess& p : submission.processes) {
            if (digests.step() != SQLITE_ROW)
                return false;
            after.push_back(recordFactsOf(p.values, !p.modules.empty(), digests.text(0)));
        }
        ScanChange change = compareScans(*before, after);
        change.previousScanId = previousId;
        change.previousSubmittedAt = previous.text(1);
        change.newFiles = std::move(newFiles);
        Statement keep(db_, "UPDATE scans SET changes = ? WHERE scan_id = ?");
        return keep.bind(1, changeToJson(change)).bind(2, submission.scanId).run();
    }

    // What comparing scans needs of each record of a stored scan.
    std::optional<std::vector<RecordFacts>> recordFactsLocked(const std::string& scanId)
    {
        Statement records(db_,
                          "SELECT p.process_values, p.modules <> '[]', s.md5 FROM processes p JOIN scan_slots s "
                          "ON s.scan_id = p.scan_id AND s.position = p.position WHERE p.scan_id = ? ORDER BY p.position");
        records.bind(1, scanId);
        std::vector<RecordFacts> facts;
        int rc;
        while ((rc = records.step()) == SQLITE_ROW)
            facts.push_back(recordFactsOf(valuesFromJson(records.text(0)), records.integer(1) != 0, records.text(2)));
        if (rc != SQLITE_DONE)
            return std::nullopt;
        return facts;
    }

    // Makes the file known when enough distinct clients sent one SHA-1 and
    // size for its digest. Files without a digest are never known.
    bool corroborateLocked(std::int64_t fileId)
    {
        Statement state(db_, "SELECT 1 FROM files WHERE file_id = ? AND complete = 0 AND md5 IS NOT NULL");
        state.bind(1, fileId);
        int rc = state.step();
        if (rc == SQLITE_DONE)
            return true;
        if (rc != SQLITE_ROW)
            return false;
        Statement group(db_,
                        "SELECT sha1, size, count(DISTINCT client) AS clients FROM scan_files "
                        "WHERE file_id = ? AND sha1 <> '' GROUP BY sha1, size HAVING clients >= ? "
                        "ORDER BY clients DESC, sha1, size LIMIT 1");
        group.bind(1, fileId).bind(2, std::int64_t{options_.corroborations});
        rc = group.step();
        if (rc == SQLITE_DONE)
            return true;
        if (rc != SQLITE_ROW)
            return false;
        Statement reports(db_, "SELECT facts FROM scan_files WHERE file_id = ? AND sha1 = ? AND size = ?");
        reports.bind(1, fileId).bind(2, group.text(0)).bind(3, group.text(1));
        std::vector<Values> facts;
        while ((rc = reports.step()) == SQLITE_ROW)
            facts.push_back(valuesFromJson(reports.text(0)));
        if (rc != SQLITE_DONE)
            return false;
        auto consensus = consensusOf(facts);
        Statement known(db_, "UPDATE files SET complete = 1, facts = ?, disputed = ? WHERE file_id = ?");
        return known.bind(1, valuesToJson(consensus.agreed))
            .bind(2, disputesToJson(consensus.disputed))
            .bind(3, fileId)
            .run();
    }

    Expected<> deleteLocked(std::string_view scanId)
    {
        Transaction tx(db_);
        if (!tx.began())
            return databaseFailure();
        if (auto submitted = submittedLocked(scanId); !submitted)
            return submitted;
        if (!removeScanLocked(scanId) || !tx.commit())
            return databaseFailure();
        return {};
    }

    // Removes the scan with everything only it references. Inside a write
    // transaction.
    bool removeScanLocked(std::string_view scanId)
    {
        std::vector<std::int64_t> files;
        Statement named(db_, "SELECT DISTINCT file_id FROM scan_slots WHERE scan_id = ?");
        named.bind(1, scanId);
        int rc;
        while ((rc = named.step()) == SQLITE_ROW)
            files.push_back(named.integer(0));
        if (rc != SQLITE_DONE)
            return false;
        for (const char* sql : {"DELETE FROM scan_slots WHERE scan_id = ?", "DELETE FROM processes WHERE scan_id = ?",
                                "DELETE FROM scan_files WHERE scan_id = ?", "DELETE FROM scans WHERE scan_id = ?"}) {
            Statement remove(db_, sql);
            if (!remove.bind(1, scanId).run())
                return false;
        }
        Statement orphan(db_,
                         "DELETE FROM files WHERE file_id = ?1 AND complete = 0 "
                         "AND NOT EXISTS (SELECT 1 FROM scan_slots WHERE file_id = ?1)");
        for (std::int64_t id : files) {
            orphan.reset();
            if (!orphan.bind(1, id).run())
                return false;
        }
        return true;
    }

    Expected<std::size_t> purgeLocked(const PurgeLimits& limits)
    {
        Transaction tx(db_);
        if (!tx.began())
            return databaseFailure();
        std::vector<std::string> doomed;
        const auto batch = static_cast<std::int64_t>(limits.batch);
        for (const auto& [sql, before] :
             {std::pair{"SELECT scan_id FROM scans WHERE submitted_at IS NULL AND scan_time < ? LIMIT ?",
                        &limits.initialisedBefore},
              std::pair{"SELECT scan_id FROM scans WHERE submitted_at < ? LIMIT ?", &limits.submittedBefore}}) {
            Statement select(db_, sql);
            select.bind(1, *before).bind(2, batch - static_cast<std::int64_t>(doomed.size()));
            int rc;
            while ((rc = select.step()) == SQLITE_ROW)
                doomed.push_back(select.text(0));
            if (rc != SQLITE_DONE)
                return databaseFailure();
        }
        for (const std::string& id : doomed) {
            if (!removeScanLocked(id))
                return databaseFailure();
        }
        for (const char* sql : {kRecountUnseenSql, "DELETE FROM file_machines WHERE last_seen < ?1",
                                "DELETE FROM file_counts WHERE machines = 0 AND ?1 IS NOT NULL",
                                "DELETE FROM machines WHERE last_seen < ?1"}) {
            Statement unseen(db_, sql);
            if (!unseen.bind(1, limits.submittedBefore).run())
                return databaseFailure();
        }
        Statement windows(db_,
                          "DELETE FROM address_windows WHERE rowid IN "
                          "(SELECT rowid FROM address_windows WHERE window_start < ? LIMIT 1000)");
        if (!windows.bind(1, limits.windowsBefore).run() || !tx.commit())
            return databaseFailure();
        return doomed.size();
    }

    Expected<Admission> admitLocked(std::string_view clientIp, std::int64_t nowSeconds, std::int64_t windowSeconds,
                                    std::int64_t limit)
    {
        // Every SET expression reads the row as it was.
        Statement count(db_,
                        "INSERT INTO address_windows(client_ip, window_start, scans) VALUES(?1, ?2, 1) "
                        "ON CONFLICT(client_ip) DO UPDATE SET "
                        "scans = CASE WHEN window_start <= ?2 - ?3 THEN 1 ELSE scans + 1 END, "
                        "window_start = CASE WHEN window_start <= ?2 - ?3 THEN ?2 ELSE window_start END "
                        "RETURNING window_start, scans");
        count.bind(1, clientIp).bind(2, nowSeconds).bind(3, windowSeconds);
        if (count.step() != SQLITE_ROW)
            return databaseFailure();
        Admission admission;
        admission.admitted = count.integer(1) <= limit;
        if (!admission.admitted)
            admission.retryAfterSeconds = std::max<std::int64_t>(1, count.integer(0) + windowSeconds - nowSeconds);
        if (count.step() != SQLITE_DONE)
            return databaseFailure();
        return admission;
    }

    Expected<ScanOutline> loadOutlineLocked(std::string_view scanId)
    {
        Statement scan(db_,
                       "SELECT scan_time, client_ip, submitted_at, scan_values, "
                       "(SELECT count(*) FROM processes WHERE scan_id = ?1), (SELECT count(*) FROM machines), "
                       "coalesce(changes, '') FROM scans WHERE scan_id = ?1 AND submitted_at IS NOT NULL");
        scan.bind(1, scanId);
        if (auto found = firstRow(scan, noSuchReport()); !found)
            return reject(found.error());
        ScanOutline outline;
        outline.header = ScanHeader{std::string(scanId), scan.text(0), scan.text(1), true};
        outline.submittedAt = scan.text(2);
        outline.scanValues = valuesFromJson(scan.text(3));
        outline.records = static_cast<std::size_t>(scan.integer(4));
        outline.machinesInAll = scan.integer(5);
        if (std::string changes = scan.text(6); !changes.empty()) {
            outline.change = changeFromJson(changes);
            if (outline.change) {
                auto kept = submittedLocked(outline.change->previousScanId);
                if (!kept && kept.error().status != kNotFound)
                    return reject(kept.error());
                outline.change->previousKept = kept.has_value();
            }
        }
        return outline;
    }

    // A record from a row of process_values, modules, file_id, unknown, md5.
    static StoredProcess recordOf(Statement& row)
    {
        StoredProcess p;
        p.slot = Slot{row.integer(2), row.integer(3) != 0, row.text(4)};
        p.process.values = valuesFromJson(row.text(0));
        p.process.modules = modulesFromJson(row.text(1));
        return p;
    }

    // The records of one page, from request.first on.
    Expected<std::vector<StoredProcess>> pageRecordsLocked(std::string_view scanId, const PageRequest& request)
    {
        if (!request.positions.empty())
            return recordsAtLocked(scanId, request.positions);
        Statement records(db_,
                          "SELECT p.process_values, p.modules, s.file_id, s.unknown, s.md5 "
                          "FROM processes p JOIN scan_slots s ON s.scan_id = p.scan_id AND s.position = p.position "
                          "WHERE p.scan_id = ? AND p.position >= ? ORDER BY p.position");
        records.bind(1, scanId).bind(2, static_cast<std::int64_t>(request.first));
        std::vector<StoredProcess> processes;
        std::size_t modules = 0;
        int rc = SQLITE_ROW;
        while (processes.size() < request.maxRecords && (processes.empty() || modules < request.maxModules) &&
               (rc = records.step()) == SQLITE_ROW) {
            processes.push_back(recordOf(records));
            modules += processes.back().process.modules.size();
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            return databaseFailure();
        return processes;
    }

    // The records at `positions`, in that order; a position past the last
    // record gives none.
    Expected<std::vector<StoredProcess>> recordsAtLocked(std::string_view scanId,
                                                         const std::vector<std::size_t>& positions)
    {
        Statement record(db_,
                         "SELECT p.process_values, p.modules, s.file_id, s.unknown, s.md5 "
                         "FROM processes p JOIN scan_slots s ON s.scan_id = p.scan_id AND s.position = p.position "
                         "WHERE p.scan_id = ? AND p.position = ?");
        std::vector<StoredProcess> processes;
        for (std::size_t position : positions) {
            record.reset();
            record.bind(1, scanId).bind(2, static_cast<std::int64_t>(position));
            int rc = record.step();
            if (rc == SQLITE_DONE)
                continue;
            if (rc != SQLITE_ROW)
                return databaseFailure();
            processes.push_back(recordOf(record));
        }
        return processes;
    }

    // noSuchReport() unless the scan is there and submitted.
    Expected<> submittedLocked(std::string_view scanId)
    {
        Statement submitted(db_, "SELECT 1 FROM scans WHERE scan_id = ? AND submitted_at IS NOT NULL");
        submitted.bind(1, scanId);
        return firstRow(submitted, noSuchReport());
    }

    // The file of every record of the page as the scan shows it.
    Expected<> pageFilesLocked(std::string_view scanId, ScanPage& page)
    {
        Statement file(db_, kFileSql);
        Statement ownFacts(db_, "SELECT facts FROM scan_files WHERE scan_id = ? AND file_id = ?");
        SetMatcher sets(db_, options_.rank);
        if (!sets.open())
            return databaseFailure();
        for (const StoredProcess& p : page.processes) {
            if (page.files.count(p.slot.fileId))
                continue;
            file.reset();
            file.bind(1, p.slot.fileId);
            if (file.step() != SQLITE_ROW)
                return databaseFailure();
            ownFacts.reset();
            ownFacts.bind(1, scanId).bind(2, p.slot.fileId);
            std::optional<Values> own;
            if (ownFacts.step() == SQLITE_ROW)
                own = valuesFromJson(ownFacts.text(0));
            StoredFile& shown = page.files[p.slot.fileId] = shownFile(file, own ? &*own : nullptr);
            if (!sets.match(file.text(5), shown))
                return databaseFailure();
        }
        return {};
    }

    // A file as a scan shows it, from a row of kFileSql and the scan's own
    // facts, if it sent any.
    StoredFile shownFile(Statement& file, const Values* own) const
    {
        const Values stored = valuesFromJson(file.text(1));
        StoredFile shown = fileInReport(file.integer(0) != 0, stored, disputesFromJson(file.text(2)), own, stored);
        if (options_.rank)
            shown.prevalence = Prevalence{file.integer(3), file.text(4)};
        return shown;
    }

    // For every file that a module of the page names, the path values of
    // the scan's first record of it. A scan without an index on file ids
    // reads its slots once per page.
    Expected<> pageModuleRecordsLocked(std::string_view scanId, ScanPage& page)
    {
        std::string named = "[";
        for (const StoredProcess& p : page.processes) {
            for (const auto& m : p.process.modules) {
                if (!m || !page.moduleRecords.emplace(*m, Values()).second)
                    continue;
                if (named.size() > 1)
                    named += ',';
                named += std::to_string(*m);
            }
        }
        if (page.moduleRecords.empty())
            return {};
        Statement first(db_,
                        "SELECT f.file_id, p.process_values FROM "
                        "(SELECT file_id, min(position) AS position FROM scan_slots "
                        " WHERE scan_id = ?1 AND file_id IN (SELECT value FROM json_each(?2)) GROUP BY file_id) f "
                        "JOIN processes p ON p.scan_id = ?1 AND p.position = f.position");
        first.bind(1, scanId).bind(2, named + "]");
        int rc;
        while ((rc = first.step()) == SQLITE_ROW)
            page.moduleRecords[first.integer(0)] = pathValues(valuesFromJson(first.text(1)));
        if (rc != SQLITE_DONE)
            return databaseFailure();
        return {};
    }

    Expected<ScanPage> loadScanPageLocked(std::string_view scanId, const PageRequest& request)
    {
        if (auto submitted = submittedLocked(scanId); !submitted)
            return reject(submitted.error());
        ScanPage page;
        auto records = pageRecordsLocked(scanId, request);
        if (!records)
            return reject(records.error());
        page.processes = std::move(*records);
        if (auto files = pageFilesLocked(scanId, page); !files)
            return reject(files.error());
        if (request.moduleRecords) {
            if (auto modules = pageModuleRecordsLocked(scanId, page); !modules)
                return reject(modules.error());
        }
        return page;
    }

    Expected<InitialisedScan> findScanLocked(std::string_view scanId)
    {
        Statement scan(db_, "SELECT scan_time, client_ip, submitted_at IS NOT NULL FROM scans WHERE scan_id = ?");
        scan.bind(1, scanId);
        if (auto found = firstRow(scan, noSuchScan()); !found)
            return reject(found.error());
        InitialisedScan result;
        result.header.scanId = std::string(scanId);
        result.header.scanTime = scan.text(0);
        result.header.clientIp = scan.text(1);
        result.header.submitted = scan.integer(2) != 0;

        Statement slots(db_, "SELECT file_id, unknown, md5 FROM scan_slots WHERE scan_id = ? ORDER BY position");
        slots.bind(1, scanId);
        int rc;
        while ((rc = slots.step()) == SQLITE_ROW)
            result.slots.push_back(Slot{slots.integer(0), slots.integer(1) != 0, slots.text(2)});
        if (rc != SQLITE_DONE)
            return databaseFailure();
        return result;
    }

    // The processes of a submitted scan, each with the slot of its position;
    // noSuchReport() for positions this store never wrote.
    Expected<std::vector<StoredProcess>> processesLocked(std::string_view scanId, const std::vector<Slot>& slots)
    {
        Statement processes(
            db_, "SELECT position, process_values, modules FROM processes WHERE scan_id = ? ORDER BY position");
        processes.bind(1, scanId);
        std::vector<StoredProcess> result;
        int rc;
        while ((rc = processes.step()) == SQLITE_ROW) {
            auto position = processes.integer(0);
            if (position < 0 || static_cast<std::size_t>(position) >= slots.size())
                return reject(noSuchReport());
            StoredProcess p;
            p.slot = slots[static_cast<std::size_t>(position)];
            p.process.values = valuesFromJson(processes.text(1));
            p.process.modules = modulesFromJson(processes.text(2));
            result.push_back(std::move(p));
        }
        if (rc != SQLITE_DONE)
            return databaseFailure();
        return result;
    }

    // Every file that a process or a module of `scan` names, as the scan
    // shows it.
    Expected<> filesOfScanLocked(StoredScan& scan)
    {
        std::map<std::int64_t, Values> own;
        Statement ownFacts(db_, "SELECT file_id, facts FROM scan_files WHERE scan_id = ?");
        ownFacts.bind(1, scan.header.scanId);
        int rc;
        while ((rc = ownFacts.step()) == SQLITE_ROW)
            own[ownFacts.integer(0)] = valuesFromJson(ownFacts.text(1));
        if (rc != SQLITE_DONE)
            return databaseFailure();

        Statement file(db_, kFileSql);
        SetMatcher sets(db_, options_.rank);
        if (!sets.open())
            return databaseFailure();
        auto loadFile = [&](std::int64_t id) {
            if (scan.files.count(id))
                return true;
            file.reset();
            file.bind(1, id);
            if (file.step() != SQLITE_ROW)
                return false;
            auto mine = own.find(id);
            StoredFile& shown = scan.files[id] = shownFile(file, mine == own.end() ? nullptr : &mine->second);
            return sets.match(file.text(5), shown);
        };
        for (const StoredProcess& p : scan.processes) {
            if (!loadFile(p.slot.fileId))
                return databaseFailure();
            for (const auto& m : p.process.modules) {
                if (m && !loadFile(*m))
                    return databaseFailure();
            }
        }
        return {};
    }

    Expected<StoredScan> loadScanLocked(std::string_view scanId)
    {
        auto initialised = findScanLocked(scanId);
        if (!initialised)
            return reject(initialised.error().status == kNotFound ? noSuchReport() : initialised.error());
        if (!initialised->header.submitted)
            return reject(noSuchReport());
        StoredScan scan;
        scan.header = initialised->header;

        Statement values(db_,
                         "SELECT submitted_at, scan_values, (SELECT count(*) FROM machines) FROM scans WHERE scan_id = ?");
        values.bind(1, scanId);
        if (values.step() != SQLITE_ROW)
            return databaseFailure();
        scan.submittedAt = values.text(0);
        scan.scanValues = valuesFromJson(values.text(1));
        scan.machinesInAll = values.integer(2);

        auto processes = processesLocked(scanId, initialised->slots);
        if (!processes)
            return reject(processes.error());
        scan.processes = std::move(*processes);
        if (auto files = filesOfScanLocked(scan); !files)
            return reject(files.error());
        return scan;
    }

    std::mutex mutex_;
    const Database database_;
    sqlite3* const db_ = database_.get();
    const StoreOptions options_;
};

int userVersion(sqlite3* db)
{
    Statement version(db, "PRAGMA user_version");
    return version.step() == SQLITE_ROW ? static_cast<int>(version.integer(0)) : -1;
}

// Runs constant SQL; the database's words when it fails.
Expected<> execute(sqlite3* db, const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return {};
    std::string reason = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return reject(kUnavailable, std::move(reason));
}

// Applies the steps the file lacks in one write transaction, so that two
// services opening one file at once apply each step once.
Expected<> migrate(sqlite3* db)
{
    auto failed = [db] { return reject(kUnavailable, sqlite3_errmsg(db)); };
    Transaction tx(db);
    if (!tx.began())
        return failed();
    int version = userVersion(db);
    if (version < 0)
        return failed();
    if (version > kSchemaVersion)
        return reject(kUnavailable, "the schema is at version " + std::to_string(version) +
                                          ", newer than this service's " + std::to_string(kSchemaVersion) +
                                          "; nothing was changed");
    for (int step = version; step < kSchemaVersion; ++step) {
        if (auto applied = execute(db, schemaStepScript(SqlDialect::Sqlite, step).c_str()); !applied)
            return reject(kUnavailable, "schema step " + std::to_string(step + 1) + ": " + applied.error().reason);
    }
    // PRAGMA takes no bound parameters; the value is our own constant.
    std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    if (version != kSchemaVersion && sqlite3_exec(db, setVersion.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return failed();
    if (!tx.commit())
        return failed();
    return {};
}


}  // namespace

Expected<std::unique_ptr<ScanStore>> openSqliteStore(const std::string& path, StoreOptions options)
{
    std::error_code ec;
    auto directory = std::filesystem::path(path).parent_path();
    if (!directory.empty())
        std::filesystem::create_directories(directory, ec);
    sqlite3* opened = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    const int rc = sqlite3_open_v2(path.c_str(), &opened, flags, nullptr);
    Database db(opened);
    if (rc != SQLITE_OK)
        return reject(kUnavailable, "cannot open " + path + ": " + (db ? sqlite3_errmsg(db.get()) : "out of memory"));
    // SQLite opens a file it may not write read-only without a word.
    if (sqlite3_db_readonly(db.get(), "main") == 1)
        return reject(kUnavailable, "cannot write " + path + ": the file is read-only to this service");
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // A page cache of 32 MiB (the default is 2): it holds the upper levels
    // of the known-file set indexes that every report looks files up in.
    if (auto setup =
            execute(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-32768;");
        !setup)
        return reject(kUnavailable, "cannot prepare " + path + ": " + setup.error().reason);
    if (auto migrated = migrate(db.get()); !migrated)
        return reject(kUnavailable, "cannot prepare " + path + ": " + migrated.error().reason);
    // A directory the service may not write, or a full disk, shows only
    // at a commit: commit one small write now.
    if (auto written = execute(db.get(), "INSERT INTO write_check(id, checked_at) VALUES(1, datetime('now')) "
                                         "ON CONFLICT(id) DO UPDATE SET checked_at = excluded.checked_at");
        !written)
        return reject(kUnavailable, "cannot write " + path + ": " + written.error().reason);
    return std::make_unique<SqliteStore>(std::move(db), std::move(options));
}

}  // namespace zorvane::service
