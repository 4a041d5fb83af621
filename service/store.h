#pragma once
// Storage of scans behind one interface, so that another database can take
// SQLite's place. Values are UTF-8 text keyed by record key. Every method is
// safe to call from several request threads at once.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane::service {

using Values = std::map<std::string, std::string, std::less<>>;

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
    Values scanValues;
    std::vector<SubmittedProcess> processes;
    std::vector<SubmittedFile> files;
};

struct StoredFile {
    bool complete = false;
    Values facts;
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
};

enum class StoreOutcome { Stored, AlreadySubmitted, UnknownScan, Failed };

// A submitted scan without its records: what a report needs before them.
struct ScanOutline {
    ScanHeader header;
    std::string submittedAt;
    Values scanValues;
    std::size_t records = 0;
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

class ScanStore {
public:
    virtual ~ScanStore() = default;

    // Creates the scan and assigns one file id per digest, all in one
    // transaction: a digest whose static facts are stored gets that file's
    // id; any other digest gets the id of the file reserved for it (one per
    // distinct digest, shared with other scans waiting for the same facts)
    // and is marked unknown; each empty digest reserves a file of its own.
    // Empty when the storage fails; then nothing is kept.
    virtual std::optional<std::vector<Slot>> initialiseScan(const ScanHeader& header,
                                                            const std::vector<std::string>& md5s) = 0;

    virtual std::optional<InitialisedScan> findScan(std::string_view scanId) = 0;

    // Stores everything of the submission in one transaction, or nothing.
    // A scan accepts one submission; facts of a file that became complete
    // meanwhile (another scan sent them first) are left as they are.
    virtual StoreOutcome storeSubmission(const Submission& submission, std::string_view submittedAt) = 0;

    // A submitted scan with its processes and files; empty when there is no
    // such scan, it is not submitted yet, or the storage fails.
    virtual std::optional<StoredScan> loadScan(std::string_view scanId) = 0;

    // A submitted scan without its records; empty as for loadScan. The
    // default reads the whole scan.
    virtual std::optional<ScanOutline> loadScanOutline(std::string_view scanId);

    // One page of a submitted scan's records, each page read on its own (a
    // scan does not change once submitted). A page past the last record is
    // empty; no page at all means no such submitted scan, or a storage
    // failure. The default reads the whole scan and keeps the page.
    virtual std::optional<ScanPage> loadScanPage(std::string_view scanId, const PageRequest& request);
};

// Opens the store that `location` names: a "postgresql://" or
// "postgres://" connection URL selects PostgreSQL, anything else is a SQLite
// database file (created with its directory). Either way the schema is
// brought to the current version first. Empty with a one-line reason in
// `error` when that fails.
std::unique_ptr<ScanStore> openScanStore(const std::string& location, std::string& error);

bool isPostgresLocation(std::string_view location);

// The values of a record by which a module that names its file is shown:
// path.path and path.file.
Values pathValues(const Values& values);

// `location` fit for a log line: the password of a connection URL is masked.
std::string displayLocation(const std::string& location);

// How both backends keep values and module lists: JSON text in one column.
std::string valuesToJson(const Values& values);
Values valuesFromJson(std::string_view text);
std::string modulesToJson(const std::vector<std::optional<std::int64_t>>& modules);
std::vector<std::optional<std::int64_t>> modulesFromJson(std::string_view text);

}  // namespace zorvane::service
