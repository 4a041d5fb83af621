#include "service/hash_sets.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "core/base/conversions.h"

namespace zorvane::service {

namespace {

// Lines of a text input one at a time, at most kMaxLine bytes each, read
// in chunks so that no input is ever held whole.
class LineReader {
public:
    static constexpr std::size_t kMaxLine = 64 * 1024;

    explicit LineReader(std::istream& in) : in_(in) {}

    // The next line without its end (LF or CR LF) and, on the first line,
    // without a UTF-8 byte order mark; valid until the next call. A line
    // longer than kMaxLine comes back empty with `tooLong`. False at the
    // end of the input.
    bool next(std::string_view& line, bool& tooLong)
    {
        tooLong = false;
        std::size_t searched = 0;  // bytes after begin_ known to hold no LF
        for (;;) {
            const auto lf = buffer_.find('\n', begin_ + searched);
            if (lf != std::string::npos) {
                tooLong = tooLong || lf - begin_ > kMaxLine;
                line = tooLong ? std::string_view() : std::string_view(buffer_).substr(begin_, lf - begin_);
                begin_ = lf + 1;
                break;
            }
            searched = buffer_.size() - begin_;
            if (searched > kMaxLine) {
                tooLong = true;
                begin_ = buffer_.size();
                searched = 0;
            }
            if (!fill()) {
                if (searched == 0 && !tooLong)
                    return false;
                line = tooLong ? std::string_view() : std::string_view(buffer_).substr(begin_);
                begin_ = buffer_.size();
                break;
            }
        }
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (++number_ == 1 && line.starts_with("\xEF\xBB\xBF"))
            line.remove_prefix(3);
        return true;
    }

    std::uint64_t number() const { return number_; }
    bool failed() const { return in_.bad(); }

private:
    static constexpr std::size_t kChunk = 256 * 1024;

    // Appends the next chunk of the input; false when there is none.
    bool fill()
    {
        buffer_.erase(0, begin_);
        begin_ = 0;
        if (!in_)
            return false;
        const std::size_t had = buffer_.size();
        buffer_.resize(had + kChunk);
        in_.read(buffer_.data() + had, static_cast<std::streamsize>(kChunk));
        buffer_.resize(had + static_cast<std::size_t>(in_.gcount()));
        return buffer_.size() > had;
    }

    std::istream& in_;
    std::string buffer_;
    std::size_t begin_ = 0;
    std::uint64_t number_ = 0;
};

// The fields of one CSV line. A field in double quotes may hold commas and
// doubled quotes; fields keep their storage from line to line.
class CsvRow {
public:
    // False when a quote is left open or text follows a closing quote.
    bool parse(std::string_view line)
    {
        count_ = 0;
        std::size_t at = 0;
        for (;;) {
            if (count_ == fields_.size())
                fields_.emplace_back();
            std::string& field = fields_[count_++];
            field.clear();
            if (at < line.size() && line[at] == '"') {
                ++at;
                for (;;) {
                    const auto quote = line.find('"', at);
                    if (quote == std::string_view::npos)
                        return false;
                    field.append(line.substr(at, quote - at));
                    at = quote + 1;
                    if (at < line.size() && line[at] == '"') {
                        field += '"';
                        ++at;
                        continue;
                    }
                    break;
                }
                if (at < line.size() && line[at] != ',')
                    return false;
            } else {
                const auto end = std::min(line.find(',', at), line.size());
                field.assign(line.substr(at, end - at));
                at = end;
            }
            if (at >= line.size())
                return true;
            ++at;
        }
    }

    std::size_t size() const { return count_; }
    const std::string& operator[](std::size_t k) const { return fields_[k]; }

    // The column named `name` (case aside), if the row has one.
    std::optional<std::size_t> column(std::string_view name) const
    {
        for (std::size_t k = 0; k < count_; ++k) {
            if (sameLetters(fields_[k], name))
                return k;
        }
        return std::nullopt;
    }

private:
    static bool sameLetters(std::string_view a, std::string_view b)
    {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
               });
    }

    std::vector<std::string> fields_;
    std::size_t count_ = 0;
};

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// `text` as `digits` lower-case hex digits in `out`; empty text gives an
// empty digest. False when it is neither.
bool readDigest(std::string_view text, std::size_t digits, std::string& out)
{
    out.clear();
    if (text.empty())
        return true;
    auto digest = lowerHexDigest(text, digits);
    if (!digest)
        return false;
    out = std::move(*digest);
    return true;
}

// A name as the store keeps it: valid UTF-8 (what is not becomes U+FFFD),
// control characters as spaces, at most kMaxName bytes of the input.
std::string cleanText(std::string_view text)
{
    constexpr std::size_t kMaxName = 1024;
    std::string clean(text.substr(0, kMaxName));
    bool ascii = true;
    for (char& c : clean) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            c = ' ';
        ascii = ascii && byte < 0x80;
    }
    return ascii ? clean : toUtf8(fromUtf8(clean));
}

std::optional<std::int64_t> readCode(std::string_view text)
{
    text = trimmed(text);
    std::int64_t code = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), code);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return code;
}

// Fills `entry` from one row's fields; false when the row does not read.
bool makeEntry(std::string_view sha1, std::string_view md5, std::string_view name, std::string product,
               SetEntry& entry)
{
    if (!readDigest(sha1, 40, entry.sha1) || !readDigest(md5, 32, entry.md5) ||
        (entry.sha1.empty() && entry.md5.empty()))
        return false;
    entry.name = cleanText(name);
    entry.product = std::move(product);
    return true;
}

// One line of a plain list: a digest, then a name after white space if
// any ("*" before it, as sha1sum marks binary mode, is dropped).
bool readPlainRow(std::string_view line, SetEntry& entry)
{
    const auto end = line.find_first_of(" \t");
    const std::string_view digest = line.substr(0, end);
    std::string_view name = end == std::string_view::npos ? std::string_view() : trimmed(line.substr(end));
    if (name.starts_with('*'))
        name.remove_prefix(1);
    if (digest.size() != 40 && digest.size() != 32)
        return false;
    return makeEntry(digest.size() == 40 ? digest : "", digest.size() == 32 ? digest : "", name, {}, entry);
}

// The header of the text release names these columns.
struct RdsColumns {
    std::size_t count = 0;
    std::size_t sha1 = 0, md5 = 0, name = 0;
    std::optional<std::size_t> product;
};

std::optional<RdsColumns> rdsColumns(const CsvRow& header)
{
    auto sha1 = header.column("SHA-1");
    auto md5 = header.column("MD5");
    auto name = header.column("FileName");
    if (!sha1 || !md5 || !name)
        return std::nullopt;
    return RdsColumns{header.size(), *sha1, *md5, *name, header.column("ProductCode")};
}

// The loop of the text formats: each line that is not passed over is a
// row, which reads as an entry or is skipped by its line number.
class TextSetReader : public HashSetReader {
public:
    explicit TextSetReader(std::unique_ptr<std::istream> in) : in_(std::move(in)), lines_(*in_) {}

    bool next(SetEntry& entry) final
    {
        if (!failure_.empty())
            return false;
        std::string_view line;
        bool tooLong = false;
        while (lines_.next(line, tooLong)) {
            if (!tooLong && passOver(line))
                continue;
            ++read_;
            if (!tooLong && readRow(line, entry))
                return true;
            skipped_.note(lines_.number());
        }
        if (lines_.failed())
            failure_ = "reading failed after line " + std::to_string(lines_.number());
        return false;
    }

protected:
    // Whether `line` is no row (blank, a comment); it may trim `line`.
    virtual bool passOver(std::string_view& line) = 0;
    virtual bool readRow(std::string_view line, SetEntry& entry) = 0;

    std::unique_ptr<std::istream> in_;
    LineReader lines_;
};

class RdsTextReader final : public TextSetReader {
public:
    RdsTextReader(std::unique_ptr<std::istream> in, ProductNames products)
        : TextSetReader(std::move(in)), products_(std::move(products))
    {
        std::string_view header;
        bool tooLong = false;
        if (!lines_.next(header, tooLong) || tooLong || !row_.parse(header) || !(columns_ = rdsColumns(row_)))
            failure_ = lines_.failed() ? "the file could not be read" : "the file does not start with the RDS header";
    }

private:
    bool passOver(std::string_view& line) override { return line.empty(); }

    bool readRow(std::string_view line, SetEntry& entry) override
    {
        return row_.parse(line) && row_.size() == columns_->count &&
               makeEntry(row_[columns_->sha1], row_[columns_->md5], row_[columns_->name], product(), entry);
    }

    std::string product() const
    {
        if (!columns_->product)
            return {};
        auto code = readCode(row_[*columns_->product]);
        return code ? products_.find(*code) : std::string();
    }

    ProductNames products_;
    CsvRow row_;
    std::optional<RdsColumns> columns_;
};

class PlainListReader final : public TextSetReader {
public:
    using TextSetReader::TextSetReader;

private:
    bool passOver(std::string_view& line) override
    {
        line = trimmed(line);
        return line.empty() || line.front() == '#';
    }

    bool readRow(std::string_view line, SetEntry& entry) override { return readPlainRow(line, entry); }
};

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

std::string columnText(sqlite3_stmt* statement, int column)
{
    const auto* text = sqlite3_column_text(statement, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                : std::string();
}

Statement prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    return Statement(statement);
}

// The columns of a table or view, in lower case; empty when there is none.
std::set<std::string> columnsOf(sqlite3* db, const char* table)
{
    std::set<std::string> columns;
    Statement info = prepare(db, "SELECT lower(name) FROM pragma_table_info(?)");
    if (!info)
        return columns;
    sqlite3_bind_text(info.get(), 1, table, -1, SQLITE_STATIC);
    while (sqlite3_step(info.get()) == SQLITE_ROW)
        columns.insert(columnText(info.get(), 0));
    return columns;
}

class RdsSqliteReader final : public HashSetReader {
public:
    RdsSqliteReader(Database db, Statement files, ProductNames products)
        : db_(std::move(db)), files_(std::move(files)), products_(std::move(products))
    {
        skipped_.unit = "rows";
    }

    bool next(SetEntry& entry) override
    {
        int rc;
        while ((rc = sqlite3_step(files_.get())) == SQLITE_ROW) {
            ++read_;
            sqlite3_stmt* row = files_.get();
            const std::string product =
                sqlite3_column_type(row, 3) == SQLITE_NULL ? std::string() : products_.find(sqlite3_column_int64(row, 3));
            if (makeEntry(columnText(row, 0), columnText(row, 1), columnText(row, 2), product, entry))
                return true;
            skipped_.note(read_);
        }
        if (rc != SQLITE_DONE)
            failure_ = std::string("reading failed after row ") + std::to_string(read_) + ": " +
                       sqlite3_errmsg(db_.get());
        return false;
    }

private:
    Database db_;
    Statement files_;
    ProductNames products_;
};

// The NSRLProd.txt beside `files`, whatever the case of its name.
std::optional<std::filesystem::path> productFileBeside(const std::filesystem::path& files)
{
    std::error_code ec;
    auto directory = files.parent_path();
    for (const auto& entry :
         std::filesystem::directory_iterator(directory.empty() ? std::filesystem::path(".") : directory, ec)) {
        std::string name = entry.path().filename().string();
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == "nsrlprod.txt")
            return entry.path();
    }
    return std::nullopt;
}

std::unexpected<Rejection> unreadable(const std::string& path, const std::string& why)
{
    return reject(400, "cannot read " + path + ": " + why);
}

}  // namespace

std::string_view formatName(HashSetFormat format)
{
    switch (format) {
    case HashSetFormat::RdsText:
        return "RDS text";
    case HashSetFormat::RdsSqlite:
        return "RDS SQLite";
    case HashSetFormat::PlainList:
        return "plain list";
    }
    return "";
}

void SkippedRows::note(std::uint64_t line)
{
    ++count;
    if (first.size() < kNoted)
        first.push_back(line);
}

std::string SkippedRows::describe() const
{
    if (count == 0)
        return {};
    std::string text(unit);
    for (std::size_t k = 0; k < first.size(); ++k)
        text += (k == 0 ? " " : ", ") + std::to_string(first[k]);
    return text + (count > first.size() ? ", ..." : "");
}

void ProductNames::add(std::int64_t code, std::string name)
{
    if (names_.count(code))
        return;
    if (names_.size() >= kMaxProducts) {
        ++leftOut_;
        return;
    }
    names_.emplace(code, std::move(name));
}

const std::string& ProductNames::find(std::int64_t code) const
{
    static const std::string none;
    auto it = names_.find(code);
    return it == names_.end() ? none : it->second;
}

ProductNames readRdsProducts(std::istream& in)
{
    ProductNames products;
    LineReader lines(in);
    CsvRow row;
    std::string_view line;
    bool tooLong = false;
    if (!lines.next(line, tooLong) || tooLong || !row.parse(line))
        return products;
    auto code = row.column("ProductCode");
    auto name = row.column("ProductName");
    auto version = row.column("ProductVersion");
    const std::size_t count = row.size();
    if (!code || !name)
        return products;
    while (lines.next(line, tooLong)) {
        if (tooLong || !row.parse(line) || row.size() != count)
            continue;
        auto number = readCode(row[*code]);
        if (!number)
            continue;
        std::string text = row[*name];
        if (version && !row[*version].empty())
            text += " " + row[*version];
        products.add(*number, cleanText(text));
    }
    return products;
}

std::unique_ptr<HashSetReader> rdsTextReader(std::unique_ptr<std::istream> files, ProductNames products)
{
    return std::make_unique<RdsTextReader>(std::move(files), std::move(products));
}

std::unique_ptr<HashSetReader> plainListReader(std::unique_ptr<std::istream> lines)
{
    return std::make_unique<PlainListReader>(std::move(lines));
}

Expected<std::unique_ptr<HashSetReader>> rdsSqliteReader(const std::string& path)
{
    sqlite3* opened = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr);
    Database db(opened);
    if (rc != SQLITE_OK)
        return unreadable(path, db ? sqlite3_errmsg(db.get()) : "out of memory");
    const auto files = columnsOf(db.get(), "FILE");
    const auto packages = columnsOf(db.get(), "PKG");
    for (const char* column : {"sha1", "md5", "file_name", "package_id"}) {
        if (!files.count(column))
            return reject(400, "unknown format: " + path + " is a SQLite database without the RDS FILE view (" +
                                   column + " missing)");
    }
    ProductNames products;
    if (packages.count("package_id") && packages.count("name")) {
        Statement names = prepare(db.get(), packages.count("version") ? "SELECT package_id, name, version FROM PKG"
                                                                      : "SELECT package_id, name, '' FROM PKG");
        while (names && sqlite3_step(names.get()) == SQLITE_ROW) {
            std::string name = columnText(names.get(), 1);
            if (std::string version = columnText(names.get(), 2); !version.empty())
                name += " " + version;
            products.add(sqlite3_column_int64(names.get(), 0), cleanText(name));
        }
    }
    Statement rows = prepare(db.get(), "SELECT sha1, md5, file_name, package_id FROM FILE");
    if (!rows)
        return unreadable(path, sqlite3_errmsg(db.get()));
    const auto leftOut = products.leftOut();
    std::unique_ptr<HashSetReader> reader =
        std::make_unique<RdsSqliteReader>(std::move(db), std::move(rows), std::move(products));
    if (!packages.count("name"))
        reader->addNote("no PKG view with product names: entries carry none");
    if (leftOut > 0)
        reader->addNote(std::to_string(leftOut) + " products past the first " +
                        std::to_string(ProductNames::kMaxProducts) + " are left unnamed");
    return reader;
}

Expected<OpenedHashSet> openHashSet(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return unreadable(path, "it is a directory");
    auto in = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*in)
        return unreadable(path, std::strerror(errno));
    char magic[16] = {};
    in->read(magic, sizeof magic);
    if (in->gcount() == sizeof magic && std::memcmp(magic, "SQLite format 3", sizeof magic) == 0) {
        auto reader = rdsSqliteReader(path);
        if (!reader)
            return reject(reader.error());
        return OpenedHashSet{HashSetFormat::RdsSqlite, std::move(*reader)};
    }
    in->clear();
    in->seekg(0);

    LineReader lines(*in);
    std::string_view line;
    bool tooLong = false;
    CsvRow header;
    if (lines.next(line, tooLong) && !tooLong && header.parse(line) && rdsColumns(header)) {
        ProductNames products;
        std::string note;
        if (auto productFile = productFileBeside(path)) {
            std::ifstream productIn(*productFile, std::ios::binary);
            products = readRdsProducts(productIn);
            if (products.leftOut() > 0)
                note = std::to_string(products.leftOut()) + " products past the first " +
                       std::to_string(ProductNames::kMaxProducts) + " are left unnamed";
        } else {
            note = "no NSRLProd.txt beside the file: entries carry no product names";
        }
        in->clear();
        in->seekg(0);
        auto reader = std::make_unique<RdsTextReader>(std::move(in), std::move(products));
        if (!note.empty())
            reader->addNote(std::move(note));
        return OpenedHashSet{HashSetFormat::RdsText, std::move(reader)};
    }
    // A plain list, if the first row that is not blank or a comment reads
    // as one.
    SetEntry entry;
    for (bool first = true; first || lines.next(line, tooLong); first = false) {
        const std::string_view row = trimmed(line);
        if (!tooLong && (row.empty() || row.front() == '#'))
            continue;
        if (tooLong || !readPlainRow(row, entry))
            return reject(400, "unknown format: " + path + " is neither an RDS release (NSRLFile.txt or its SQLite "
                                                          "database) nor a list of MD5 or SHA-1 digests (line " +
                                   std::to_string(lines.number()) + ")");
        break;
    }
    if (lines.failed())
        return unreadable(path, "reading failed");
    in->clear();
    in->seekg(0);
    return OpenedHashSet{HashSetFormat::PlainList, plainListReader(std::move(in))};
}

Expected<ImportSummary> importHashSet(ScanStore& store, HashSetReader& reader, std::string_view name, bool bad,
                                      const ImportOptions& options)
{
    const auto start = std::chrono::steady_clock::now();
    auto import = store.beginSetImport(name, bad);
    if (!import)
        return reject(import.error());
    const std::size_t batchSize = std::max<std::size_t>(options.batch, 1);
    std::vector<SetEntry> batch;
    batch.reserve(batchSize);
    std::uint64_t stored = 0;
    SetEntry entry;
    for (bool more = true; more;) {
        more = reader.next(entry);
        if (more)
            batch.push_back(std::move(entry));
        if (batch.size() < batchSize && more)
            continue;
        if (auto added = (*import)->add(batch); !added)
            return reject(added.error());
        stored += batch.size();
        batch.clear();
        if (options.progress)
            options.progress(reader.rowsRead());
        if (options.stop && options.stop->load())
            return reject(400, "interrupted: nothing was imported, and the set " + std::string(name) +
                                   " stays as it was");
    }
    if (!reader.failure().empty())
        return reject(400, "cannot read the set: " + reader.failure() + "; nothing was imported");
    if (stored == 0) {
        std::string skipped = reader.skipped().describe();
        return reject(400, "the set is empty: no row reads as an entry" +
                               (skipped.empty() ? "" : " (" + skipped + " skipped)") + "; nothing was imported");
    }
    auto set = (*import)->commit();
    if (!set)
        return reject(set.error());
    return ImportSummary{std::move(*set), reader.skipped().count,
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

}  // namespace zorvane::service
