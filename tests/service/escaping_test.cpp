// Script and markup in every text column, one column per scan: the page
// shows it escaped, the JSON export keeps it exactly, the CSV export keeps
// it exactly except for the apostrophe before a formula starter.

#include "core/base/conversions.h"
#include "csv_reader.h"
#include "service/report.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

enum class Line { Scan, Static, Dynamic };

struct Column {
    const char* key;
    Line line;
    bool onPage;             // shown in the report page
    const char* csvHeader;   // its CSV column, or nullptr
};

// A file's static facts ride in its process record; the record under test
// is the only process of its scan.
const Column kColumns[] = {
    {"Caption", Line::Scan, true, nullptr},
    {"CSDVersion", Line::Scan, true, nullptr},
    {"Version", Line::Scan, true, nullptr},
    {"Processor", Line::Scan, true, nullptr},
    {"PelsWidth", Line::Scan, true, nullptr},
    {"BitsPerPel", Line::Scan, true, nullptr},
    {"ClientId", Line::Scan, false, nullptr},
    {"ERROR", Line::Scan, false, nullptr},
    {"ver.CompanyName", Line::Static, true, "company"},
    {"ver.ProductName", Line::Static, true, "product"},
    {"ver.FileDescription", Line::Static, true, "description"},
    {"ver.FileVersion", Line::Static, true, "version"},
    {"ver.LegalCopyright", Line::Static, false, nullptr},
    {"ver.OriginalFilename", Line::Static, false, nullptr},
    {"hash.sha1", Line::Static, true, "sha1"},
    {"handle.filesize", Line::Static, false, "size"},
    {"path.file", Line::Dynamic, true, "image"},
    {"path.path", Line::Dynamic, true, nullptr},
    {"path.lpath", Line::Dynamic, true, "generalised_path"},
    {"wmi.ProcessId", Line::Dynamic, true, "pid"},
    {"wmi.ParentProcessId", Line::Dynamic, true, "parent_pid"},
    {"wmi.ProcessDescription", Line::Dynamic, false, nullptr},
    {"wmi.StartupLocation", Line::Dynamic, false, nullptr},
    {"wmi.UserUsedForStartup", Line::Dynamic, false, nullptr},
    {"net.NetworkPorts", Line::Dynamic, true, "network_ports"},
    {"reg.DisplayName", Line::Dynamic, true, nullptr},
    {"reg.Description", Line::Dynamic, false, nullptr},
    {"reg.Location", Line::Dynamic, false, nullptr},
    {"reg.DependOnService", Line::Dynamic, false, nullptr},
    {"ref.memoryUsage", Line::Dynamic, true, "memory_usage"},
    {"ref.startupMethod", Line::Dynamic, false, "startup_method"},
    {"ref.networkUsage", Line::Dynamic, false, "network_usage"},
    {"ERROR", Line::Dynamic, false, nullptr},
};

// Markup that breaks out of text and of attributes, entities, quotes,
// line breaks and text beyond Latin-1; the first character cycles through
// the spreadsheet formula starters.
std::u16string payload(std::size_t index, std::string_view key)
{
    static const char* const kStarts[] = {"=", "+", "-", "@", "<", "\""};
    std::string text = std::string(kStarts[index % 6]) + "<script>alert('" + std::string(key) +
                       "')</script>\"><img src=x onerror=alert(1)>&amp; 'q' \xC3\xBC\xE2\x82\xAC\xE4\xB8\xAD"
                       "\r\nnext line";
    return fromUtf8(text);
}

// What the service receives: the static and dynamic lines carry no line
// breaks, the scan line keeps them.
std::string onTheWire(const std::u16string& value, Line line)
{
    std::string text = toUtf8(value);
    if (line != Line::Scan)
        for (char& c : text)
            if (c == '\r' || c == '\n')
                c = ' ';
    return text;
}

bool isFormulaStart(const std::string& text)
{
    return !text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '@' || text[0] == '-');
}

}  // namespace

TEST_F(ServiceTest, MarkupInEveryColumnIsEscapedOnThePageAndIntactInTheExports)
{
    for (std::size_t index = 0; index < std::size(kColumns); ++index) {
        const Column& column = kColumns[index];
        const std::string what = std::string(column.key) + (column.line == Line::Scan ? " (scan)" : "");
        const std::u16string value = payload(index, column.key);
        const std::string expected = onTheWire(value, column.line);

        ClientScan scan;
        scan.scanRecord["PelsWidth"] = u"1024";  // the page shows the display settings only with a width
        std::u16string md5 = u"0123456789abcdef0123456789abcd" + fromUtf8(index < 10 ? "0" : "") +
                             fromUtf8(std::to_string(index));
        ProcessRecord record = makeRecord({u"C:\\Tools\\plain.exe", md5}, u"42");
        if (column.line == Line::Scan)
            scan.scanRecord[column.key] = value;
        else
            record[column.key] = value;
        if (std::string_view(column.key) == "path.path")
            record["path.lpath"] = u"";  // the page shows the generalised path when there is one
        scan.records = {record};
        initialise(scan);
        auto res = submit(scan, scan.submitFields());
        ASSERT_TRUE(res) << what;
        ASSERT_EQ(res->status, 200) << what << ": " << res->body;

        auto page = get("/scan/" + scan.scanId());
        ASSERT_TRUE(page && page->status == 200) << what;
        EXPECT_EQ(page->body.find("<script>alert"), std::string::npos) << what;
        EXPECT_EQ(page->body.find("<img"), std::string::npos) << what;
        if (column.onPage) {
            EXPECT_NE(page->body.find(service::escapeHtml(expected)), std::string::npos) << what << " not on the page";
        }

        auto json = exportJson(scan.scanId());
        const nlohmann::json& holder = column.line == Line::Scan      ? json["scan"]
                                       : column.line == Line::Static ? json["records"][0]["file"]
                                                                     : json["records"][0]["values"];
        if (std::string_view(column.key) == "ClientId") {
            // It links the scans of one machine; a report's id is its only key.
            EXPECT_FALSE(holder.contains(column.key)) << what;
            continue;
        }
        ASSERT_TRUE(holder.contains(column.key)) << what;
        EXPECT_EQ(holder[column.key].get<std::string>(), expected) << what;

        if (column.csvHeader) {
            auto csv = get("/scan/" + scan.scanId() + ".csv");
            ASSERT_TRUE(csv && csv->status == 200) << what;
            auto rows = parseCsv(csv->body);
            ASSERT_EQ(rows.size(), 2u) << what;
            auto at = std::find(rows[0].begin(), rows[0].end(), column.csvHeader) - rows[0].begin();
            ASSERT_LT(static_cast<std::size_t>(at), rows[1].size()) << what;
            EXPECT_EQ(rows[1][at], (isFormulaStart(expected) ? "'" : "") + expected) << what;
        }
    }
}

}  // namespace zorvane::testing
