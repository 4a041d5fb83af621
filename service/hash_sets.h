#pragma once
// Readers of the files known-file sets come in, each yielding SetEntry rows
// one at a time, so that a set of any size is read in bounded memory:
//  - the reference library's text release: NSRLFile.txt, quoted CSV under a
//    header naming "SHA-1", "MD5", "FileName" and "ProductCode" among its
//    columns, with product names from NSRLProd.txt beside it;
//  - its SQLite release: the views FILE (sha1, md5, file_name, package_id,
//    among others) and PKG (package_id, name, version, ...);
//  - plain lists: one hex MD5 or SHA-1 per line, a name after white space
//    if any, '#' comments and blank lines ignored.
// A row that does not read (fields missing or extra, a digest that is not
// hex of its length, neither digest) is skipped and counted, never the end
// of the import.

#include <atomic>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "service/store.h"

namespace zorvane::service {

enum class HashSetFormat { RdsText, RdsSqlite, PlainList };

// "RDS text", "RDS SQLite", "plain list".
std::string_view formatName(HashSetFormat format);

// Rows a reader passed over: how many, and the line numbers (rows of the
// FILE view for the SQLite release) of the first few.
struct SkippedRows {
    static constexpr std::size_t kNoted = 5;
    std::uint64_t count = 0;
    std::vector<std::uint64_t> first;
    std::string_view unit = "lines";

    void note(std::uint64_t line);
    // "lines 4, 9, 12"; empty when none was skipped.
    std::string describe() const;
};

class HashSetReader {
public:
    virtual ~HashSetReader() = default;

    // The next row that reads; false at the end of the input, or when
    // reading failed (then failure() says why).
    virtual bool next(SetEntry& entry) = 0;

    // Rows read so far, good or skipped.
    std::uint64_t rowsRead() const { return read_; }
    const SkippedRows& skipped() const { return skipped_; }
    const std::string& failure() const { return failure_; }
    // What the operator should know of the input besides its rows, one
    // line each (no product table beside the file, products left out).
    const std::vector<std::string>& notes() const { return notes_; }
    void addNote(std::string note) { notes_.push_back(std::move(note)); }

protected:
    std::uint64_t read_ = 0;
    SkippedRows skipped_;
    std::string failure_;
    std::vector<std::string> notes_;
};

// Product names by product code ("name version"). A release's product
// table is small next to its files, but it is read from outside: past
// kMaxProducts codes, further ones are left out (and counted).
class ProductNames {
public:
    static constexpr std::size_t kMaxProducts = 1 << 20;

    void add(std::int64_t code, std::string name);
    // The name of `code`, or empty.
    const std::string& find(std::int64_t code) const;
    std::uint64_t leftOut() const { return leftOut_; }

private:
    std::unordered_map<std::int64_t, std::string> names_;
    std::uint64_t leftOut_ = 0;
};

// The readers of the text formats over any stream (files, or tests' text).
ProductNames readRdsProducts(std::istream& in);
std::unique_ptr<HashSetReader> rdsTextReader(std::unique_ptr<std::istream> files, ProductNames products);
std::unique_ptr<HashSetReader> plainListReader(std::unique_ptr<std::istream> lines);
// The SQLite release at `path`, opened read-only; a one-line reason when
// it is not one.
Expected<std::unique_ptr<HashSetReader>> rdsSqliteReader(const std::string& path);

struct OpenedHashSet {
    HashSetFormat format;
    std::unique_ptr<HashSetReader> reader;
};

// Opens `path`, telling its format from the file itself: a SQLite
// database is the SQLite release; a text file whose first line is the RDS
// header is the text release (product names from the NSRLProd.txt beside
// it, whatever its case, when there is one); any other text whose first
// row reads as a plain list's is one. A one-line reason when the file
// cannot be read or is none of these.
Expected<OpenedHashSet> openHashSet(const std::string& path);

struct ImportSummary {
    HashSetInfo set;
    std::uint64_t skipped = 0;
    double seconds = 0;
};

struct ImportOptions {
    // Entries stored per batch, each batch one transaction.
    std::size_t batch = 20000;
    // Called after each batch with the rows read so far.
    std::function<void(std::uint64_t rowsRead)> progress;
    // When it turns true, the import stops between two batches and keeps
    // nothing.
    const std::atomic<bool>* stop = nullptr;
};

// Reads every row of `reader` into the set `name` of `store`, which
// replaces the set of that name when all is read. A set without a row,
// a read that fails, a store that fails or a stop keep nothing and leave
// the old set as it was: the reason in one line.
Expected<ImportSummary> importHashSet(ScanStore& store, HashSetReader& reader, std::string_view name, bool bad,
                                      const ImportOptions& options = {});

}  // namespace zorvane::service
