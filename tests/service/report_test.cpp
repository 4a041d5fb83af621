#include "csv_reader.h"
#include "service/status.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

using service::FileStatus;
using service::SetMatch;

// One submitted scan in memory, paged as the backends page it: by `first`
// and `maxRecords`, or by exactly the positions asked for.
class OneScanStore final : public service::ScanStore {
public:
    explicit OneScanStore(service::StoredScan scan) : scan_(std::move(scan)) {}

    service::Expected<std::vector<service::Slot>> initialiseScan(const service::ScanHeader&,
                                                                 const std::vector<std::string>&) override
    {
        return service::reject(service::noSuchScan());
    }
    service::Expected<service::InitialisedScan> findScan(std::string_view) override
    {
        return service::reject(service::noSuchScan());
    }
    service::Expected<> storeSubmission(const service::Submission&, std::string_view) override
    {
        return service::reject(service::noSuchScan());
    }
    service::Expected<service::StoredScan> loadScan(std::string_view) override { return scan_; }
    service::Expected<service::Admission> admitScan(std::string_view, std::int64_t, std::int64_t,
                                                    std::int64_t) override
    {
        return service::Admission{};
    }
    service::Expected<> deleteReport(std::string_view) override { return service::reject(service::noSuchReport()); }
    service::Expected<std::size_t> purgeExpired(const service::PurgeLimits&) override { return 0; }

    service::Expected<service::ScanPage> loadScanPage(std::string_view, const service::PageRequest& request) override
    {
        std::vector<std::size_t> positions = request.positions;
        for (std::size_t k = request.first; positions.empty() && k < scan_.processes.size(); ++k) {
            if (k - request.first >= request.maxRecords)
                break;
            positions.push_back(k);
        }
        service::ScanPage page;
        for (std::size_t k : positions) {
            if (k >= scan_.processes.size())
                break;
            const service::StoredProcess& p = scan_.processes[k];
            page.processes.push_back(p);
            page.files[p.slot.fileId] = scan_.files.at(p.slot.fileId);
            for (const auto& m : request.moduleRecords ? p.process.modules : decltype(p.process.modules){}) {
                for (const service::StoredProcess& other : scan_.processes) {
                    if (m && other.slot.fileId == *m)
                        page.moduleRecords[*m] = service::pathValues(other.process.values);
                }
            }
        }
        return page;
    }

private:
    service::StoredScan scan_;
};

// Every status and the ways a process takes its modules' statuses, among
// 200 machines (a file on 1 or 2 of them is rare).
struct StatusCase {
    const char* image;
    bool process;
    std::vector<SetMatch> sets;
    std::int64_t machines;
    bool isNew;
    std::vector<std::size_t> modules;  // positions of the records of its module files
    FileStatus file;
    FileStatus processStatus;
};

const SetMatch kBadSet{"threats", true, "Dropper", "evil.dll"};
const SetMatch kGoodSet{"vendor", false, "Office", ""};

const StatusCase kStatusCases[] = {
    {"common.exe", true, {}, 10, false, {}, FileStatus::Common, FileStatus::Common},
    {"loader.exe", true, {}, 10, false, {8}, FileStatus::Common, FileStatus::KnownBad},
    {"good.exe", true, {kGoodSet}, 1, true, {}, FileStatus::KnownGood, FileStatus::KnownGood},
    {"new.exe", true, {}, 10, true, {0}, FileStatus::New, FileStatus::New},
    {"bad.exe", true, {kBadSet, kGoodSet}, 50, false, {}, FileStatus::KnownBad, FileStatus::KnownBad},
    {"unknown.exe", true, {}, 0, false, {2}, FileStatus::Unknown, FileStatus::Unknown},
    {"mixed.exe", true, {kGoodSet}, 10, false, {9, 0}, FileStatus::KnownGood, FileStatus::Rare},
    {"rare.exe", true, {}, 2, true, {3}, FileStatus::Rare, FileStatus::Rare},
    {"evil.dll", false, {kBadSet}, 3, false, {}, FileStatus::KnownBad, FileStatus::KnownBad},
    {"odd.dll", false, {}, 1, false, {}, FileStatus::Rare, FileStatus::Rare},
};

std::int64_t fileIdAt(std::size_t position)
{
    return 100 + static_cast<std::int64_t>(position);
}

service::StoredScan statusScan()
{
    service::StoredScan scan;
    scan.header = {"statusscan", "2026-12-02 10:00:00", "10.0.0.7", true};
    scan.submittedAt = "2026-12-02 10:00:05";
    scan.scanValues = {{"Caption", "Windows"}, {"ClientId", "machine7"}};
    scan.machinesInAll = 200;
    for (std::size_t k = 0; k < std::size(kStatusCases); ++k) {
        const StatusCase& c = kStatusCases[k];
        service::StoredProcess record;
        record.slot.fileId = fileIdAt(k);
        record.process.values = {{"path.path", "c:\\apps"}, {"path.file", c.image}};
        if (c.process)
            record.process.values["wmi.ProcessId"] = std::to_string(500 + k);
        for (std::size_t m : c.modules)
            record.process.modules.push_back(fileIdAt(m));
        scan.processes.push_back(record);
        service::StoredFile& file = scan.files[fileIdAt(k)];
        file.sets = c.sets;
        file.prevalence = {c.machines, "2026-11-0" + std::to_string(k % 9 + 1) + " 08:00:00"};
    }
    return scan;
}

service::ScanChange statusChange(bool previousKept)
{
    service::ScanChange change;
    change.previousScanId = "previousscan";
    change.previousSubmittedAt = "2026-12-01 09:00:00";
    change.previousKept = previousKept;
    change.started = {"c:\\apps\\new.exe"};
    change.digestChanged = {{"c:\\apps\\common.exe", "aa", "bb"}};
    for (std::size_t k = 0; k < std::size(kStatusCases); ++k) {
        if (kStatusCases[k].isNew)
            change.newFiles.push_back(fileIdAt(k));
    }
    return change;
}

std::string render(service::ReportFormat format, std::optional<FileStatus> only = std::nullopt,
                   bool previousKept = true)
{
    service::StoredScan scan = statusScan();
    service::ScanOutline outline{scan.header, scan.submittedAt, scan.scanValues, scan.processes.size(),
                                 scan.machinesInAll, statusChange(previousKept)};
    OneScanStore store(std::move(scan));
    service::PageRequest pages;
    pages.maxRecords = 2;  // a status's processes span pages
    auto writer = service::openReport(store, std::move(outline), format, pages, only);
    std::string out;
    while (writer->next(out)) {
    }
    EXPECT_FALSE(writer->failed());
    return out;
}

// The image of each process row of a page, in the order shown: the first
// of `images` in each row's part of the page.
std::vector<std::string> processRows(const std::string& html, const std::vector<std::string>& images)
{
    std::vector<std::string> rows;
    const std::string marker = "<tbody class=\"proc\"";
    for (auto at = html.find(marker); at != std::string::npos;) {
        auto end = html.find(marker, at + 1);
        std::string_view part = std::string_view(html).substr(at, end == std::string::npos ? end : end - at);
        std::size_t first = std::string::npos;
        std::string image;
        for (const std::string& candidate : images) {
            if (auto found = part.find(">" + candidate + "<"); found < first) {
                first = found;
                image = candidate;
            }
        }
        rows.push_back(image);
        at = end;
    }
    return rows;
}

ClientScan hostileScan()
{
    ClientScan scan;
    FileFacts evil{u"C:\\Program Files\\<b>bold</b>\\evil.exe", u"0123456789abcdef0123456789abcdef",
                   u"<script>alert('x')</script>"};
    ProcessRecord r = makeRecord(evil, u"66");
    r["ver.CompanyName"] = u"\"Quoted\", Inc. & Sons";
    r["ver.ProductName"] = u"=HYPERLINK(\"http://example.invalid\")";
    r["net.NetworkPorts"] = u"80|DEFAULT";
    scan.records = {r, makeRecord({u"C:\\Windows\\plain.exe", u"11111111111111111111111111111111"}, u"67")};
    scan.scanRecord["Caption"] = u"Windows <i>7</i>";
    return scan;
}

}  // namespace

TEST_F(ServiceTest, ReportPageEscapesEveryValueAndShowsTheProcesses)
{
    ClientScan scan = hostileScan();
    ASSERT_TRUE(store(scan));

    auto page = get("/scan/" + scan.scanId());
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
    const std::string& html = page->body;
    EXPECT_EQ(html.find("<script>alert"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(html.find("<b>bold"), std::string::npos);
    EXPECT_EQ(html.find("<i>7"), std::string::npos);
    EXPECT_NE(html.find("&quot;Quoted&quot;, Inc. &amp; Sons"), std::string::npos);
    EXPECT_NE(html.find("evil.exe"), std::string::npos);
    EXPECT_NE(html.find("plain.exe"), std::string::npos);

    auto eula = get("/zorvaneeula/");
    ASSERT_TRUE(eula);
    EXPECT_EQ(eula->status, 200);
    EXPECT_NE(eula->body.find("terms of use"), std::string::npos);
}

TEST_F(ServiceTest, JsonAndCsvExportsParseAndKeepTheValues)
{
    ClientScan scan = hostileScan();
    initialise(scan);
    ASSERT_EQ(submit(scan, scan.submitFields())->status, 200);

    auto json = exportJson(scan.scanId());
    ASSERT_EQ(json["records"].size(), 2u);
    EXPECT_EQ(json["records"][0]["file"]["ver.FileVersion"], "<script>alert('x')</script>");
    EXPECT_EQ(json["records"][0]["path"], "c:\\program files\\<b>bold</b>\\evil.exe");
    EXPECT_EQ(json["summary"]["processes"], 2);

    auto csv = get("/scan/" + scan.scanId() + ".csv");
    ASSERT_TRUE(csv);
    ASSERT_EQ(csv->status, 200);
    auto rows = parseCsv(csv->body);
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& row : rows)
        EXPECT_EQ(row.size(), rows[0].size());
    EXPECT_EQ(rows[0][1], "pid");
    EXPECT_EQ(rows[1][1], "66");
    EXPECT_EQ(rows[1][6], "\"Quoted\", Inc. & Sons");
    EXPECT_EQ(rows[1][7], "'=HYPERLINK(\"http://example.invalid\")") << "no live formula in a spreadsheet";
}

TEST_F(ServiceTest, ModulePathsOfOneReportStayWithinABudget)
{
    // A record that lists its own 64 KiB path 1024 times: 64 MiB of module
    // names, from an upload of a few kilobytes.
    const std::u16string longPath = u"C:\\" + std::u16string(64u << 10, u'a') + u".dll";
    const FileFacts file{longPath, u"00112233445566778899aabbccddeeff"};
    std::u16string modules;
    for (int i = 0; i < 1024; ++i)
        modules += (i ? u"," : u"") + longPath;
    ClientScan scan;
    scan.records = {makeRecord(file, u"100", modules)};
    ASSERT_TRUE(store(scan));

    auto page = get("/scan/" + scan.scanId());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_LT(page->body.size(), 32u << 20);
    auto report = exportJson(scan.scanId());
    const auto& listed = report["records"][0]["modules"];
    ASSERT_EQ(listed.size(), 1024u);
    EXPECT_EQ(listed[0]["path"].get<std::string>().size(), longPath.size()) << "the first ones in full";
    const auto last = listed[1023]["fileId"].get<std::int64_t>();
    EXPECT_EQ(listed[1023]["path"], "file " + std::to_string(last)) << "past the budget, the file id alone";
}

TEST_F(ServiceTest, ReportsSayOnHowManyMachinesEachFileWasSeenAndThePageFiltersByStatus)
{
    ClientScan first = hostileScan(), second = hostileScan();
    first.scanRecord["ClientId"] = u"machine1";
    second.scanRecord["ClientId"] = u"machine2";
    second.records.resize(1);
    ASSERT_TRUE(store(first));
    ASSERT_TRUE(store(second));

    auto json = exportJson(first.scanId());
    ASSERT_EQ(json["records"].size(), 2u);
    const auto& shared = json["records"][0];
    const auto& own = json["records"][1];
    EXPECT_EQ(shared["machines"], 2);
    EXPECT_EQ(shared["machinesInAll"], 2);
    EXPECT_EQ(shared["rare"], false);
    EXPECT_EQ(own["machines"], 1);
    EXPECT_EQ(own["rare"], true);
    EXPECT_EQ(own["firstSeen"].get<std::string>().size(), std::string("2026-12-01 00:00:00").size());

    auto csv = get("/scan/" + first.scanId() + ".csv");
    ASSERT_TRUE(csv);
    auto rows = parseCsv(csv->body);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(std::vector(rows[2].begin() + 19, rows[2].begin() + 23),
              (std::vector<std::string>{"1", "2", own["firstSeen"].get<std::string>(), "rare"}));

    // The page: the rare process first; ?status= shows one status, and a
    // value that names none shows every process.
    const struct {
        const char* query;
        std::vector<std::string> rows;
    } pages[] = {
        {"", {"plain.exe", "evil.exe"}},
        {"?status=rare", {"plain.exe"}},
        {"?status=common", {"evil.exe"}},
        {"?status=known-bad", {}},
        {"?status=nonsense", {"plain.exe", "evil.exe"}},
    };
    for (const auto& p : pages) {
        auto page = get("/scan/" + first.scanId() + p.query);
        ASSERT_TRUE(page && page->status == 200) << p.query;
        EXPECT_EQ(processRows(page->body, {"plain.exe", "evil.exe"}), p.rows) << p.query;
    }
}

}  // namespace zorvane::testing

namespace zorvane::testing {

TEST(ReportStatus, EachFileAndProcessTakesTheMostUrgentStatusInRankOrder)
{
    const auto json = nlohmann::json::parse(render(service::ReportFormat::Json));
    ASSERT_EQ(json["records"].size(), std::size(kStatusCases));
    std::map<std::string, std::pair<int, int>> counts;
    for (std::size_t k = 0; k < std::size(kStatusCases); ++k) {
        const StatusCase& c = kStatusCases[k];
        const auto& r = json["records"][k];
        EXPECT_EQ(r["status"], service::statusSlug(c.file)) << c.image;
        if (c.process)
            EXPECT_EQ(r["processStatus"], service::statusSlug(c.processStatus)) << c.image;
        else
            EXPECT_TRUE(r["processStatus"].is_null()) << c.image;
        ++counts[std::string(service::statusSlug(c.file))].first;
        counts[std::string(service::statusSlug(c.processStatus))].second += c.process ? 1 : 0;
    }
    for (FileStatus status : service::kStatusesInRank) {
        const auto& counted = json["summary"]["statuses"][std::string(service::statusSlug(status))];
        const auto& [files, processes] = counts[std::string(service::statusSlug(status))];
        EXPECT_EQ(counted["files"], files) << service::statusSlug(status);
        EXPECT_EQ(counted["processes"], processes) << service::statusSlug(status);
    }
}

TEST(ReportStatus, ThePageListsProcessesByStatusAndFiltersByOne)
{
    const struct {
        std::optional<FileStatus> only;
        std::vector<std::string> rows;
    } cases[] = {
        {std::nullopt,
         {"loader.exe", "bad.exe", "mixed.exe", "rare.exe", "new.exe", "unknown.exe", "common.exe", "good.exe"}},
        {FileStatus::KnownBad, {"loader.exe", "bad.exe"}},
        {FileStatus::Rare, {"mixed.exe", "rare.exe"}},
        {FileStatus::KnownGood, {"good.exe"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> images;
        for (const StatusCase& status : kStatusCases)
            images.push_back(status.image);
        const std::string html = render(service::ReportFormat::Page, c.only);
        EXPECT_EQ(processRows(html, images), c.rows) << (c.only ? service::statusSlug(*c.only) : "all");
    }
}

TEST(ReportStatus, ExportsCarryStatusesSetsAndTheChangeButNoClientId)
{
    for (bool kept : {true, false}) {
        const auto json = nlohmann::json::parse(render(service::ReportFormat::Json, std::nullopt, kept));
        EXPECT_FALSE(json["scan"].contains("ClientId"));
        EXPECT_EQ(json["scan"]["Caption"], "Windows");
        const auto& change = json["change"];
        EXPECT_EQ(change.contains("previousScanId"), kept) << "the previous scan's id only while it is kept";
        EXPECT_EQ(change["previousSubmittedAt"], "2026-12-01 09:00:00");
        EXPECT_EQ(change["started"], nlohmann::json::array({"c:\\apps\\new.exe"}));
        EXPECT_EQ(change["digestChanged"][0]["after"], "bb");
        EXPECT_EQ(change["newFiles"], nlohmann::json::array({fileIdAt(2), fileIdAt(3), fileIdAt(7)}));
        const auto& bad = json["records"][4];
        EXPECT_EQ(bad["sets"], nlohmann::json::parse(R"([{"set":"threats","kind":"bad","product":"Dropper",
            "name":"evil.dll"},{"set":"vendor","kind":"good","product":"Office","name":""}])"));
        EXPECT_EQ(json["records"][3]["new"], true);
        EXPECT_EQ(bad["new"], false);
    }

    const auto rows = parseCsv(render(service::ReportFormat::Csv));
    ASSERT_EQ(rows.size(), std::size(kStatusCases) + 1);
    EXPECT_EQ(std::vector(rows[0].begin() + 19, rows[0].end()),
              (std::vector<std::string>{"machines", "machines_in_all", "first_seen", "rare", "status",
                                        "process_status", "new", "sets"}))
        << "new columns after the older ones";
    EXPECT_EQ(std::vector(rows[5].end() - 4, rows[5].end()),
              (std::vector<std::string>{"known-bad", "known-bad", "",
                                        "bad: threats (Dropper, evil.dll); good: vendor (Office)"}));
    EXPECT_EQ(std::vector(rows[9].end() - 4, rows[9].end()),
              (std::vector<std::string>{"known-bad", "", "", "bad: threats (Dropper, evil.dll)"}));
    EXPECT_EQ(rows[8][rows[8].size() - 2], "new");
}

}  // namespace zorvane::testing
