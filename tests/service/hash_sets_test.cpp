// Reading known-file sets: every row either comes out as an entry or is
// skipped and counted by its line, whatever the row holds; the format is
// told from the file itself.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "service/hash_sets.h"

namespace zorvane::testing {
namespace {

using service::SetEntry;

const std::string kSha1 = "000000206738748edd92c4e3d2e823896700f849";
const std::string kMd5 = "392126e756571ebf112cb1c1cdedf926";

// A row of input and what it reads as: the entry, or nothing (skipped).
struct Row {
    const char* what;
    std::string line;
    std::optional<SetEntry> entry;
};

struct Read {
    std::vector<SetEntry> entries;
    std::vector<std::uint64_t> skippedLines;  // the first few
    std::uint64_t skipped = 0;
};

Read readAll(service::HashSetReader& reader)
{
    Read read;
    SetEntry entry;
    while (reader.next(entry))
        read.entries.push_back(entry);
    EXPECT_EQ(reader.failure(), "");
    read.skippedLines = reader.skipped().first;
    read.skipped = reader.skipped().count;
    return read;
}

// Reads `rows` (after `header` lines) and checks each row by its line.
void expectRows(const std::vector<Row>& rows, const std::string& header, std::size_t headerLines,
                const std::function<std::unique_ptr<service::HashSetReader>(std::string)>& open)
{
    std::string text = header;
    for (const Row& row : rows)
        text += row.line;
    auto reader = open(text);
    const Read read = readAll(*reader);
    std::size_t nextEntry = 0;
    std::uint64_t line = headerLines;
    std::vector<std::uint64_t> skipped;
    for (const Row& row : rows) {
        const std::uint64_t at = ++line;
        line += static_cast<std::uint64_t>(std::count(row.line.begin(), row.line.end(), '\n')) - 1;
        if (!row.entry) {
            if (row.line.find_first_not_of(" \t\r\n") != std::string::npos && row.line.front() != '#')
                skipped.push_back(at);
            continue;
        }
        SCOPED_TRACE(row.what);
        ASSERT_LT(nextEntry, read.entries.size());
        const SetEntry& got = read.entries[nextEntry++];
        EXPECT_EQ(got.sha1, row.entry->sha1);
        EXPECT_EQ(got.md5, row.entry->md5);
        EXPECT_EQ(got.name, row.entry->name);
        EXPECT_EQ(got.product, row.entry->product);
    }
    EXPECT_EQ(nextEntry, read.entries.size());
    EXPECT_EQ(read.skipped, skipped.size());
    if (skipped.size() > service::SkippedRows::kNoted)
        skipped.resize(service::SkippedRows::kNoted);
    EXPECT_EQ(read.skippedLines, skipped);
}

const std::string kRdsHeader =
    "\xEF\xBB\xBF\"SHA-1\",\"MD5\",\"CRC32\",\"FileName\",\"FileSize\",\"ProductCode\",\"OpSystemCode\",\"SpecialCode\"\r\n";

TEST(HashSets, RdsTextRowsReadAsEntriesOrAreSkippedByLine)
{
    const std::string upperSha1 = "000000206738748EDD92C4E3D2E823896700F849";
    const std::string upperMd5 = "392126E756571EBF112CB1C1CDEDF926";
    auto quoted = [](const std::string& s) { return "\"" + s + "\""; };
    const std::vector<Row> rows = {
        {"plain row, CRLF, upper-case hex, product by code",
         quoted(upperSha1) + "," + quoted(upperMd5) + ",\"EBD105A0\",\"I05002T2.PFB\",98865,3095,\"WIN\",\"\"\r\n",
         SetEntry{kSha1, kMd5, "I05002T2.PFB", "Norton, \"Utilities\" 2.0"}},
        {"comma and doubled quotes inside a name",
         quoted(kSha1) + "," + quoted(kMd5) + ",\"\",\"a, \"\"b\"\".dll\",1,999,\"WIN\",\"\"\n",
         SetEntry{kSha1, kMd5, "a, \"b\".dll", ""}},
        {"blank line", "\r\n", std::nullopt},
        {"SHA-1 missing: MD5 alone", "\"\"," + quoted(kMd5) + ",\"\",\"x\",1,3095,\"WIN\",\"\"\n",
         SetEntry{"", kMd5, "x", "Norton, \"Utilities\" 2.0"}},
        {"MD5 missing: SHA-1 alone", quoted(kSha1) + ",\"\",\"\",\"x\",1,,\"WIN\",\"\"\n", SetEntry{kSha1, "", "x", ""}},
        {"neither digest", "\"\",\"\",\"\",\"x\",1,3095,\"WIN\",\"\"\n", std::nullopt},
        {"a field missing", quoted(kSha1) + "," + quoted(kMd5) + ",\"\",\"x\",1,3095,\"WIN\"\n", std::nullopt},
        {"a field too many", quoted(kSha1) + "," + quoted(kMd5) + ",\"\",\"x\",1,3095,\"WIN\",\"\",\"\"\n",
         std::nullopt},
        {"SHA-1 not hex", quoted(kSha1.substr(0, 39) + "g") + "," + quoted(kMd5) + ",\"\",\"x\",1,1,\"\",\"\"\n",
         std::nullopt},
        {"MD5 one digit short", quoted(kSha1) + "," + quoted(kMd5.substr(1)) + ",\"\",\"x\",1,1,\"\",\"\"\n",
         std::nullopt},
        {"quote left open", quoted(kSha1) + "," + quoted(kMd5) + ",\"\",\"x,1,1,\"\",\"\n", std::nullopt},
        {"text after a closing quote", quoted(kSha1) + "x," + quoted(kMd5) + ",\"\",\"x\",1,1,\"\",\"\"\n",
         std::nullopt},
        {"a line past the length limit", quoted(kSha1) + "," + quoted(kMd5) + ",\"\",\"" + std::string(70000, 'n') +
                                             "\",1,1,\"\",\"\"\n",
         std::nullopt},
        {"control characters and broken UTF-8 in a name, last line without LF",
         quoted(kSha1) + "," + quoted(kMd5) + ",\"\",\"a\tb\xff.dll\",1,1,\"WIN\",\"\"",
         SetEntry{kSha1, kMd5, "a b\xEF\xBF\xBD.dll", ""}},
    };
    std::istringstream products(
        "\"ProductCode\",\"ProductName\",\"ProductVersion\",\"OpSystemCode\",\"MfgCode\",\"Language\","
        "\"ApplicationType\"\n"
        "3095,\"Norton, \"\"Utilities\"\"\",\"2.0\",\"WINNT\",\"SYM\",\"English\",\"Utility\"\n"
        "3095,\"Later duplicate\",\"1\",\"WINNT\",\"SYM\",\"German\",\"Utility\"\n"
        "oops,\"Not a code\",\"1\",\"\",\"\",\"\",\"\"\n");
    const service::ProductNames names = service::readRdsProducts(products);
    expectRows(rows, kRdsHeader, 1, [&](std::string text) {
        return service::rdsTextReader(std::make_unique<std::istringstream>(std::move(text)), names);
    });
}

TEST(HashSets, PlainListLinesReadAsEntriesOrAreSkippedByLine)
{
    const std::vector<Row> rows = {
        {"comment", "# exported 2026-12-01\n", std::nullopt},
        {"MD5 alone", kMd5 + "\n", SetEntry{"", kMd5, "", ""}},
        {"SHA-1 in upper case, name after a tab", "  " + std::string("000000206738748EDD92C4E3D2E823896700F849") +
                                                       "\tC:\\tools\\x y.exe \r\n",
         SetEntry{kSha1, "", "C:\\tools\\x y.exe", ""}},
        {"sha1sum's binary mark", kSha1 + " *evil.exe\n", SetEntry{kSha1, "", "evil.exe", ""}},
        {"blank line", "   \n", std::nullopt},
        {"31 digits", kMd5.substr(1) + " x\n", std::nullopt},
        {"a SHA-256", std::string(64, 'a') + "\n", std::nullopt},
        {"not hex", std::string(31, 'a') + "z\n", std::nullopt},
        {"digest glued to its name", kMd5 + "x\n", std::nullopt},
    };
    expectRows(rows, "", 0, [](std::string text) {
        return service::plainListReader(std::make_unique<std::istringstream>(std::move(text)));
    });
}

class TempDir {
public:
    TempDir() : path_(std::filesystem::temp_directory_path() / ("zorvane-sets-" + std::to_string(::getpid())))
    {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::filesystem::path write(const std::string& name, const std::string& text) const
    {
        std::ofstream(path_ / name, std::ios::binary) << text;
        return path_ / name;
    }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A database laid out as the SQLite release publishes its views, made with
// tables of the same columns.
bool makeRdsDatabase(const std::filesystem::path& path, const std::string& sql)
{
    sqlite3* raw = nullptr;
    sqlite3_open(path.c_str(), &raw);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    return sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// The format comes from the content, never the file name; each file
// either opens as its format and gives its entries, or is refused with a
// reason naming it.
TEST(HashSets, TheFormatIsToldFromTheFileItself)
{
    TempDir dir;
    const std::string rdsSchema =
        "CREATE TABLE FILE(sha256 TEXT, sha1 TEXT, md5 TEXT, file_name TEXT, file_size INTEGER, package_id INTEGER);"
        "CREATE TABLE PKG(package_id INTEGER, name TEXT, version TEXT, operating_system_id INTEGER,"
        " manufacturer_id INTEGER, language TEXT, application_type TEXT);";
    ASSERT_TRUE(makeRdsDatabase(
        dir / "rds.db",
        rdsSchema + "INSERT INTO FILE VALUES('AB', '" + std::string("000000206738748EDD92C4E3D2E823896700F849") +
            "', '392126E756571EBF112CB1C1CDEDF926', 'kernel32.dll', 1, 7);"
            "INSERT INTO FILE VALUES('AB', 'NOT HEX', '392126E756571EBF112CB1C1CDEDF926', 'bad.dll', 1, 7);"
            "INSERT INTO FILE VALUES('AB', NULL, '392126E756571EBF112CB1C1CDEDF926', 'nosha.dll', 1, NULL);"
            "INSERT INTO PKG VALUES(7, 'Windows', '10', 1, 1, 'English', 'OS');"
            "INSERT INTO PKG VALUES(7, 'Windows', '10', 1, 1, 'German', 'OS');"));
    ASSERT_TRUE(makeRdsDatabase(dir / "other.db", "CREATE TABLE FILE(name TEXT);"));
    std::filesystem::create_directories(dir / "rds");
    const auto nsrl = dir.write("rds/NSRLFile.txt", kRdsHeader + "\"" + kSha1 + "\",\"" + kMd5 +
                                                        "\",\"\",\"a.dll\",1,3095,\"WIN\",\"\"\r\n");
    dir.write("rds/NSRLPROD.TXT",
              "\"ProductCode\",\"ProductName\",\"ProductVersion\",\"OpSystemCode\",\"MfgCode\",\"Language\","
              "\"ApplicationType\"\r\n3095,\"Office\",\"\",\"\",\"\",\"\",\"\"\r\n");
    const auto bare = dir.write("NSRLFile.txt", kRdsHeader + "\"" + kSha1 + "\",\"\",\"\",\"b.dll\",1,3095,\"\",\"\"\n");

    struct Case {
        const char* what;
        std::filesystem::path path;
        std::optional<service::HashSetFormat> format;  // none: refused
        std::string entriesOrReason;                   // "sha1|md5|name|product;..." or a word of the reason
        std::string skipped;
    };
    const Case kCases[] = {
        {"the SQLite release, a package named once though listed per language", dir / "rds.db",
         service::HashSetFormat::RdsSqlite,
         kSha1 + "|" + kMd5 + "|kernel32.dll|Windows 10;|" + kMd5 + "|nosha.dll|;", "rows 2"},
        {"a SQLite database of another kind", dir / "other.db", std::nullopt, "FILE view", ""},
        {"the text release, products from NSRLProd.txt in any case", nsrl, service::HashSetFormat::RdsText,
         kSha1 + "|" + kMd5 + "|a.dll|Office;", ""},
        {"the text release alone", bare, service::HashSetFormat::RdsText, kSha1 + "||b.dll|;", ""},
        {"a plain list under any name",
         dir.write("list.csv", "\xEF\xBB\xBF# evil\r\n\r\n" + kMd5 + " evil.exe\r\nnot a digest\r\n"),
         service::HashSetFormat::PlainList, "|" + kMd5 + "|evil.exe|;", "lines 4"},
        {"text of another kind", dir.write("notes.txt", "\n# digests\nSHA-1,MD5\n" + kMd5 + "\n"), std::nullopt,
         "unknown format", ""},
        {"binary of another kind", dir.write("blob.bin", std::string("\x7f" "ELF\0\0\0", 7)), std::nullopt,
         "unknown format", ""},
        {"no such file", dir / "missing.txt", std::nullopt, "cannot read", ""},
        {"a directory", dir / "rds", std::nullopt, "cannot read", ""},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        auto opened = service::openHashSet(c.path.string());
        if (!c.format) {
            ASSERT_FALSE(opened);
            EXPECT_NE(opened.error().reason.find(c.entriesOrReason), std::string::npos) << opened.error().reason;
            continue;
        }
        ASSERT_TRUE(opened) << opened.error().reason;
        EXPECT_EQ(opened->format, *c.format);
        std::string entries;
        for (const SetEntry& e : readAll(*opened->reader).entries)
            entries += e.sha1 + "|" + e.md5 + "|" + e.name + "|" + e.product + ";";
        EXPECT_EQ(entries, c.entriesOrReason);
        EXPECT_EQ(opened->reader->skipped().describe(), c.skipped);
    }
}

}  // namespace
}  // namespace zorvane::testing
