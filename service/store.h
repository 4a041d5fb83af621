#pragma once
// Storage of scans behind one interface, so that another database can take
// SQLite's place. Values are UTF-8 text keyed by record key. Every method is
// safe to call from several request threads at once.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "service/change.h"
#include "service/rejection.h"

namespace zorvane::service {

using Values = std::map<std::string, std::string, std::less<>>;
// Values of one key that corroborating clients reported differently, each
// once, sorted.
using Disputes = std::map<std::string, std::vector<std::string>, std::less<>>;

// Where the service's log lines go; one event per call, no line break.
using LogSink = std::function<void(std::string_view line)>;

// One record of an initialise request, in scan order. md5 is 32 lower-case
// hex digits, or empty for a record sent with the placeholder digest.
struct Slot {
    std::int64_t fileId = 0;
    bool unknown = false;
    std::string md5;
};

struct ScanHeader {
    std::string scanId;
    std::string scanTime;
    std::string clientIp;
    bool submitted = false;
};

struct InitialisedScan {
    ScanHeader header;
    std::vector<Slot> slots;
};

struct SubmittedProcess {
    Values values;
    // One entry per "moduleList" element: the file it names, or none for a
    // module the client did not scan.
    std::vector<std::optional<std::int64_t>> modules;
};

struct SubmittedFile {
    std::int64_t fileId = 0;
    Values facts;
};

// A decoded, validated submit request. processes[k] belongs to slot k.
struct Submission {
    std::string scanId;
    // Who sent it, for counting distinct clients that agree on a file:
    // "id:" and the machine's ClientId, or "ip:" and its address.
    std::string client;
    Values scanValues;
    std::vector<SubmittedProcess> processes;
    std::vector<SubmittedFile> files;
};

// On how many distinct machines (Submission::client) a file was seen within
// the kept scans, and the first submit that named it; none for a file
// without a digest, which is the scan's own.
struct Prevalence {
    std::int64_t machines = 0;
    std::string firstSeen;  // UTC "YYYY-MM-DD HH:MM:SS"
};

// A file seen on one machine only, or on at most 1 % of `machinesInAll`,
// once there is more than one machine to compare with.
bool isRare(const Prevalence& prevalence, std::int64_t machinesInAll);

// An entry of an operator's known-file set that a file matches: by SHA-1
// where the entry has one, else by MD5.
struct SetMatch {
    std::string set;      // the set's name
    bool bad = false;     // the set was imported as known bad
    std::string product;  // the product the entry names, or empty
    std::string name;     // the file name the entry names, or empty
};

// A reference set names one digest under many products (a DLL that ships
// with hundreds): a file shows this many of its matches at most.
inline constexpr std::size_t kMaxSetMatches = 8;

// Puts `matches` in the order StoredFile::sets keeps (bad sets first, then
// by set name, product and file name), without repeats, and keeps the
// first kMaxSetMatches.
void orderSetMatches(std::vector<SetMatch>& matches);

// The SHA-1 by which a file is matched against the sets: its "hash.sha1"
// fact in lower case, or empty when it has none that reads as one.
std::string matchingSha1(const Values& facts);

// One entry of a known-file set as it is imported: `sha1` 40 and `md5` 32
// lower-case hex digits, either empty where the source has none (never
// both); the file and product names as UTF-8 text, possibly empty.
struct SetEntry {
    std::string sha1;
    std::string md5;
    std::string name;
    std::string product;
};

// How many of `entries` have no SHA-1 (and are matched by MD5).
std::int64_t entriesWithoutSha1(const std::vector<SetEntry>& entries);

// A known-file set as it is kept.
struct HashSetInfo {
    std::string name;
    bool bad = false;
    std::string importedAt;  // UTC "YYYY-MM-DD HH:MM:SS"
    std::int64_t rows = 0;
};

// One import of a set. Entries are stored batch by batch, each batch on
// its own (so that the scans' writers never wait for a whole import), but
// no report sees them until commit() puts the set in the place of the set
// of the same name, in one step. An import destroyed before its commit
// (a failure, an interruption) removes what it stored, and the old set
// stays whole; rows that a killed process left behind are removed by the
// next import or removal. It must not outlive its store.
class HashSetImport {
public:
    virtual ~HashSetImport() = default;
    virtual Expected<> add(const std::vector<SetEntry>& entries) = 0;
    virtual Expected<HashSetInfo> commit() = 0;
};

struct StoredFile {
    // The file's SHA-1 and size were confirmed by enough distinct clients,
    // and this scan either sent no facts of its own or sent those same two.
    bool known = false;
    // This scan's own facts when it sent them; otherwise the facts the
    // corroborating clients agreed on (a disputed key is left out).
    Values facts;
    bool own = false;
    // Values of the corroborating clients that differ from `facts`.
    Disputes differing;
    Prevalence prevalence;
    // The set entries the file matches, in orderSetMatches' order.
    std::vector<SetMatch> sets;
};

struct StoredProcess {
    Slot slot;
    SubmittedProcess process;
};

struct StoredScan {
    ScanHeader header;
    std::string submittedAt;
    Values scanValues;
    std::vector<StoredProcess> processes;
    // Every file that a process or a module of this scan names.
    std::map<std::int64_t, StoredFile> files;
    // Distinct machines that sent the kept scans.
    std::int64_t machinesInAll = 0;
};

struct Admission {
    bool admitted = true;
    // When refused: seconds until the address's window ends.
    std::int64_t retryAfterSeconds = 0;
};

// What a purge removes; times are UTC "YYYY-MM-DD HH:MM:SS" like the
// stored ones, compared as text.
struct PurgeLimits {
    std::string initialisedBefore;  // scans never submitted, initialised before this
    std::string submittedBefore;    // reports submitted before this
    std::int64_t windowsBefore = 0; // address windows (epoch seconds) that started before this
    std::size_t batch = 50;         // scans per transaction
};

struct StoreOptions {
    // Distinct clients that must send the same SHA-1 and size for a digest
    // before initialise replies call it known.
    int corroborations = 3;
    // Whether the store keeps and reads what ranks a report's files: how
    // many machines saw each, the change since a machine's last scan, and
    // matches in known-file sets. Off only to measure what they cost.
    bool rank = true;
    // Storage failures, with the database's own words; empty: not logged.
    LogSink log;
};
// A submitted scan without its records: what a report needs before them.
struct ScanOutline {
    ScanHeader header;
    std::string submittedAt;
    Values scanValues;
    std::size_t records = 0;
    std::int64_t machinesInAll = 0;
    // What changed since the same machine's previous scan, when it had one.
    std::optional<ScanChange> change;
};

// Which records one page holds: from position `first` on, at most
// `maxRecords` of them, and no more once their module lists together reach
// `maxModules` entries (a page holds at least one record).
struct PageRequest {
    std::size_t first = 0;
    std::size_t maxRecords = 256;
    std::size_t maxModules = 16384;
    // Whether the page names the records of its module files (a reader that
    // only counts does without).
    bool moduleRecords = true;
    // When not empty: exactly these positions, in this order, instead of
    // `first` and the limits (a report in another order than the scan's).
    std::vector<std::size_t> positions;
};

// Consecutive records of a submitted scan with the files they name, so that
// a report is read and written page by page instead of whole.
struct ScanPage {
    std::vector<StoredProcess> processes;
    // The file of every record of the page.
    std::map<std::int64_t, StoredFile> files;
    // For every file that a module of the page names: the path.path and
    // path.file values of the scan's first record of that file, by which the
    // module is shown.
    std::map<std::int64_t, Values> moduleRecords;
};

// What the store answers besides its values, the same from every backend:
// the scan or report is not there (404), the scan was submitted already
// (409), or the storage failed (503, with the operation's own reason; the
// backend logs the database's words).
Rejection noSuchScan();
Rejection noSuchReport();
Rejection alreadySubmitted();

// A store operation as the log names it ("cannot initialise scan: ...")
// and the reason it answers when the storage fails.
struct StoreOperation {
    std::string_view name;
    std::string_view failure;
};

// Logs a storage failure of `operation` in the database's `words`, under
// the backend's name, and gives the rejection the operation answers.
Rejection storageFailure(const StoreOperation& operation, std::string_view backend, std::string_view words,
                         const LogSink& log);

namespace operations {
inline constexpr StoreOperation kInitialiseScan{"initialise scan", "the scan could not be stored"};
inline constexpr StoreOperation kFindScan{"find scan", "the scan could not be read"};
inline constexpr StoreOperation kStoreScan{"store scan", "the scan could not be stored"};
inline constexpr StoreOperation kLoadScan{"load scan", "the report could not be read"};
inline constexpr StoreOperation kLoadOutline{"read a report outline", "the report could not be read"};
inline constexpr StoreOperation kLoadPage{"read a report page", "the report could not be read"};
inline constexpr StoreOperation kAdmitScan{"count scans of an address", "the scan could not be counted"};
inline constexpr StoreOperation kDeleteReport{"delete report", "the report could not be deleted"};
inline constexpr StoreOperation kPurge{"purge", "expired scans could not be removed"};
inline constexpr StoreOperation kImportSet{"import a known-file set", "the set could not be stored"};
inline constexpr StoreOperation kListSets{"list known-file sets", "the sets could not be read"};
inline constexpr StoreOperation kRemoveSet{"remove a known-file set", "the set could not be removed"};
}  // namespace operations

// No set of that name is kept (404).
Rejection noSuchSet();

class ScanStore {
public:
    virtual ~ScanStore() = default;

    // Creates the scan and assigns one file id per digest, all in one
    // transaction: one file per distinct digest, shared by every scan that
    // names it; a digest is known once enough distinct clients agreed on
    // its facts, unknown otherwise; each empty digest reserves a file of
    // its own, always unknown. When the storage fails, nothing is kept.
    virtual Expected<std::vector<Slot>> initialiseScan(const ScanHeader& header,
                                                       const std::vector<std::string>& md5s) = 0;

    // An initialised scan, submitted or not; noSuchScan() when there is none.
    virtual Expected<InitialisedScan> findScan(std::string_view scanId) = 0;

    // Stores everything of the submission in one transaction, or nothing.
    // A scan accepts one submission (alreadySubmitted() after it;
    // noSuchScan() for a scan never initialised). The facts it sends are
    // kept as this scan's own; a file whose SHA-1 and size now come alike
    // from enough distinct clients becomes known, with the facts they
    // agree on and the values they dispute.
    virtual Expected<> storeSubmission(const Submission& submission, std::string_view submittedAt) = 0;

    // A submitted scan with its processes and files; noSuchReport() when
    // there is no such scan or it is not submitted yet.
    virtual Expected<StoredScan> loadScan(std::string_view scanId) = 0;

    // Counts one new scan from `clientIp` in its window: a window starts
    // with the first scan counted and lasts `windowSeconds`; past `limit`
    // scans in it the scan is refused.
    virtual Expected<Admission> admitScan(std::string_view clientIp, std::int64_t nowSeconds,
                                          std::int64_t windowSeconds, std::int64_t limit) = 0;

    // Removes a submitted scan, its own facts, and the files that only it
    // named; corroborated facts stay. noSuchReport() when there is no
    // submitted scan of that id.
    virtual Expected<> deleteReport(std::string_view scanId) = 0;

    // Removes up to `limits.batch` expired scans as deleteReport does, and
    // ended address windows, in one transaction; a machine not seen since
    // limits.submittedBefore no longer counts for any file. The number of
    // scans removed; fewer than the batch means none is left.
    virtual Expected<std::size_t> purgeExpired(const PurgeLimits& limits) = 0;
    // A submitted scan without its records; noSuchReport() as for
    // loadScan. The default reads the whole scan.
    virtual Expected<ScanOutline> loadScanOutline(std::string_view scanId);

    // One page of a submitted scan's records, each page read on its own (a
    // scan does not change once submitted). A page past the last record is
    // empty; noSuchReport() when there is no such submitted scan. The
    // default reads the whole scan and keeps the page.
    virtual Expected<ScanPage> loadScanPage(std::string_view scanId, const PageRequest& request);

    // Takes the set out of every report at once, then removes its rows;
    // noSuchSet() when none has that name.
    Expected<> removeSet(std::string_view name);

    // Starts importing the set `name` of the given kind (see
    // HashSetImport). Clears first what abandoned imports and removed sets
    // left behind.
    Expected<std::unique_ptr<HashSetImport>> beginSetImport(std::string_view name, bool bad);

    // The sets kept, by name.
    virtual Expected<std::vector<HashSetInfo>> listSets();

protected:
    // The steps of the set methods above, each one transaction of the
    // backend (see hash_sets in the schema). A set is 'importing', 'live'
    // or 'removing'; its entries are numbered from 0 by seq. By default a
    // store keeps no sets: every step is refused.

    // A new set 'importing'; imports silent for an hour turn 'removing'.
    virtual Expected<std::int64_t> createSet(std::string_view name, bool bad);
    // Stores entries from number `firstSeq` on, while the set is importing.
    virtual Expected<> addSetEntries(std::int64_t setId, std::int64_t firstSeq,
                                     const std::vector<SetEntry>& entries);
    // Makes the importing set live and the live set of its name removing.
    virtual Expected<HashSetInfo> publishSet(std::int64_t setId);
    // Turns an importing set removing.
    virtual Expected<> retireImport(std::int64_t setId);
    // Turns the live set of `name` removing; false when there is none.
    virtual Expected<bool> retireLiveSet(std::string_view name);
    // The removing sets, each with its number of entries.
    virtual Expected<std::vector<std::pair<std::int64_t, std::int64_t>>> retiredSets();
    // Deletes a removing set's entries numbered [fromSeq, toSeq).
    virtual Expected<> deleteSetEntries(std::int64_t setId, std::int64_t fromSeq, std::int64_t toSeq);
    // Deletes a removing set with what is left of its entries.
    virtual Expected<> forgetSet(std::int64_t setId);

private:
    friend class StoreSetImport;
    // Deletes the removing sets, their entries in batches.
    Expected<> purgeRetiredSets();
};

// Opens the store that `location` names: a "postgresql://" or
// "postgres://" connection URL selects PostgreSQL, anything else is a SQLite
// database file (created with its directory). Either way the schema is
// brought to the current version first, and one write is committed, so
// that a database the service cannot write is refused at start, with a
// one-line reason.
Expected<std::unique_ptr<ScanStore>> openScanStore(const std::string& location, StoreOptions options = {});

bool isPostgresLocation(std::string_view location);

// The values of a record by which a module that names its file is shown:
// path.path and path.file.
Values pathValues(const Values& values);

// A record's value of `key`, or empty.
std::string valueOf(const Values& values, std::string_view key);
// "directory\name" of a record's path values.
std::string fullPathOf(const Values& values);
// How a report and the change since a machine's last scan read a record.
// A record without a pid is still a process when it lists modules (WMI may
// not know a process that started after its query); a record of a file
// that no process runs has neither.
bool isProcessRecord(const Values& values, bool listsModules);
// Started as a startup entry, or found at a startup location.
bool isStartupRecord(const Values& values);

// `text` as `digits` lower-case hex digits (either case read), or none.
std::optional<std::string> lowerHexDigest(std::string_view text, std::size_t digits);

// `location` fit for a log line: the password of a connection URL is masked.
std::string displayLocation(const std::string& location);

// How both backends keep values and module lists: JSON text in one column.
std::string valuesToJson(const Values& values);
Values valuesFromJson(std::string_view text);
std::string modulesToJson(const std::vector<std::optional<std::int64_t>>& modules);
std::vector<std::optional<std::int64_t>> modulesFromJson(std::string_view text);
std::string disputesToJson(const Disputes& disputes);
Disputes disputesFromJson(std::string_view text);

// Control characters as \xNN, so that a text reaches the log as one line.
std::string escapedForLog(std::string_view line);

// What several clients' facts of one file agree on: a key with one value
// among them all is agreed; a key with several (or missing in some) is
// disputed, with every value seen.
struct Consensus {
    Values agreed;
    Disputes disputed;
};
Consensus consensusOf(const std::vector<Values>& reports);

// The view of one file in one scan's report (see StoredFile), from the
// file's corroborated state and the facts the scan sent, if any.
StoredFile fileInReport(bool corroborated, const Values& agreed, const Disputes& disputed, const Values* own,
                        const Values& legacy);

// The identity that counts as one client: the scan's ClientId when it is
// 1 to 64 letters and digits, else the address it came from.
std::string clientIdentity(const Values& scanValues, std::string_view clientIp);

// Whether scans sent by `client` (Submission::client) are known to come
// from one machine, and so are compared with each other: a ClientId is,
// an address alone is not (many machines may share it).
bool comparesScans(std::string_view client);

// What comparing two scans needs of a record with these values.
RecordFacts recordFactsOf(const Values& values, bool listsModules, std::string md5);

inline constexpr std::string_view kSha1Key = "hash.sha1";
inline constexpr std::string_view kSizeKey = "handle.filesize";

}  // namespace zorvane::service
