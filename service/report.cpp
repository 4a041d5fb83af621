#include "service/report.h"

#include <cstdlib>
#include <map>
#include <vector>

namespace zorvane::service {

namespace {

std::string valueOf(const Values& values, std::string_view key)
{
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

// "directory\name" of a record's path values.
std::string fullPathOf(const Values& values)
{
    std::string directory = valueOf(values, "path.path");
    std::string name = valueOf(values, "path.file");
    if (name.empty())
        return directory;
    return directory.empty() ? name : directory + "\\" + name;
}

// One record of a scan joined with the static facts of its file.
struct RecordView {
    std::size_t position = 0;
    const StoredProcess* record = nullptr;
    const StoredFile* file = nullptr;
    std::int64_t machinesInAll = 0;

    std::string value(std::string_view key) const { return valueOf(record->process.values, key); }
    std::string fact(std::string_view key) const { return file ? valueOf(file->facts, key) : std::string(); }
    // A record without a pid is still a process when it lists modules (WMI
    // may not know a process that started after its query); a record of a
    // file that no process runs has neither.
    bool isProcess() const { return !value("wmi.ProcessId").empty() || !record->process.modules.empty(); }
    bool known() const { return file && file->known; }
    std::int64_t fileId() const { return record->slot.fileId; }
    std::int64_t machines() const { return file ? file->prevalence.machines : 0; }
    std::string firstSeen() const { return file ? file->prevalence.firstSeen : std::string(); }
    bool rare() const { return file && isRare(file->prevalence, machinesInAll); }

    std::string imageName() const
    {
        std::string name = value("path.file");
        return name.empty() ? fact("path.file") : name;
    }
    std::string fullPath() const { return fullPathOf(record->process.values); }
    bool listensWidely() const
    {
        std::string ports = value("net.NetworkPorts");
        return ports.find("|DEFAULT") != std::string::npos || ports.find("|INTERNET") != std::string::npos;
    }
    bool isService() const { return value("ref.startupMethod") == "2"; }
    bool isStartupEntry() const { return value("ref.startupMethod") == "3" || !value("wmi.StartupLocation").empty(); }
};

std::string startupMethodLabel(std::string_view code)
{
    if (code == "2")
        return "Service";
    if (code == "3")
        return "Startup entry";
    if (code == "1")
        return "Child process";
    return "";
}

std::string networkUsageLabel(std::string_view code)
{
    if (code == "2")
        return "Internet";
    if (code == "1")
        return "Local only";
    return "";
}

std::string memoryPercent(std::string_view share)
{
    if (share.empty())
        return "";
    std::string text(share);
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str())
        return text;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f %%", value * 100.0);
    return buffer;
}

std::string pageHead(std::string_view title)
{
    std::string html;
    html += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
    html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
    html += "<meta name=\"robots\" content=\"noindex\">\n";
    html += "<title>" + escapeHtml(title) + "</title>\n<style>\n";
    html += R"css(
:root { --ink:#1d2733; --muted:#5b6b7c; --line:#dde3ea; --accent:#1f6feb; --warn:#b54708; --ok:#067647; --bg:#f5f7fa; }
* { box-sizing: border-box; }
body { margin:0; font:14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color:var(--ink); background:var(--bg); }
header { background:#0f2747; color:#fff; padding:14px 28px; display:flex; align-items:baseline; gap:16px; }
header .brand { font-weight:700; font-size:20px; letter-spacing:.5px; }
header .sub { color:#b8c7dc; }
main { padding:20px 28px 40px; max-width:1600px; margin:0 auto; }
h1 { font-size:22px; margin:4px 0 16px; }
h2 { font-size:16px; margin:28px 0 10px; }
.cards { display:grid; grid-template-columns:repeat(auto-fill, minmax(210px, 1fr)); gap:12px; }
.card { background:#fff; border:1px solid var(--line); border-radius:8px; padding:12px 14px; }
.card .label { color:var(--muted); font-size:12px; text-transform:uppercase; letter-spacing:.4px; }
.card .value { font-size:16px; font-weight:600; margin-top:2px; word-break:break-word; }
.toolbar { display:flex; gap:12px; align-items:center; margin:8px 0; }
.toolbar input { flex:0 1 360px; padding:7px 10px; border:1px solid var(--line); border-radius:6px; font:inherit; }
.toolbar .count { color:var(--muted); }
table { border-collapse:collapse; width:100%; background:#fff; border:1px solid var(--line); }
th, td { padding:6px 8px; border-bottom:1px solid var(--line); text-align:left; vertical-align:top; }
th { background:#eef2f7; position:sticky; top:0; cursor:pointer; white-space:nowrap; user-select:none; }
th[aria-sort="ascending"]::after { content:" \25B2"; font-size:10px; }
th[aria-sort="descending"]::after { content:" \25BC"; font-size:10px; }
tr:hover td { background:#f8fafc; }
td.mono, .mono { font-family:ui-monospace, "Cascadia Mono", Consolas, monospace; font-size:12px; }
td.path { min-width:150px; max-width:320px; overflow-wrap:anywhere; }
td.digest { font-size:11px; color:#3b4a5a; }
.table-wrap { overflow-x:auto; border:1px solid var(--line); border-radius:8px; }
.table-wrap table { border:0; }
.tag { display:inline-block; padding:1px 7px; border-radius:10px; font-size:12px; font-weight:600; }
.tag.known { background:#dcfae6; color:var(--ok); }
.tag.unknown { background:#fef0c7; color:var(--warn); }
.tag.rare { background:#fee4e2; color:#b42318; }
.seen { display:block; font-size:12px; color:var(--muted); }
details.differs summary { color:var(--warn); font-size:12px; }
details.differs ul { margin:4px 0 0; padding-left:18px; font-size:12px; }
form.delete { margin:28px 0 0; padding:12px 14px; background:#fff; border:1px solid var(--line); border-radius:8px; }
form.delete button { margin-left:12px; }
details summary { cursor:pointer; color:var(--accent); }
details ol { margin:6px 0 0; padding-left:22px; max-height:260px; overflow:auto; }
footer { color:var(--muted); padding:20px 28px; font-size:12px; }
a { color:var(--accent); }
.legal { background:#fff; border:1px solid var(--line); border-radius:8px; padding:8px 28px 20px; max-width:860px; }
)css";
    html += "</style>\n</head>\n<body>\n<header><span class=\"brand\">Zorvane</span>"
            "<span class=\"sub\">Process inventory report</span></header>\n<main>\n";
    return html;
}

std::string pageFoot()
{
    return "</main>\n<footer>Zorvane process-information service &middot; "
           "<a href=\"/zorvaneeula/\">Terms of use</a></footer>\n</body>\n</html>\n";
}

void card(std::string& html, std::string_view label, std::string_view value)
{
    html += "<div class=\"card\"><div class=\"label\">" + escapeHtml(label) + "</div><div class=\"value\">" +
            escapeHtml(value.empty() ? std::string_view("\xE2\x80\x94") : value) + "</div></div>\n";
}

std::string_view factLabel(std::string_view key)
{
    static constexpr std::pair<std::string_view, std::string_view> kLabels[] = {
        {"ver.CompanyName", "Company"},     {"ver.ProductName", "Product"}, {"ver.FileDescription", "Description"},
        {"ver.FileVersion", "Version"},     {"hash.sha1", "SHA-1"},         {"handle.filesize", "Size"},
        {"path.file", "File name"},
    };
    for (const auto& [k, label] : kLabels) {
        if (k == key)
            return label;
    }
    return key;
}

// The values other corroborating clients sent for this file where they
// differ from those shown, so that no single client's word passes for all.
void differingMarker(std::string& html, const StoredFile* file)
{
    if (!file || file->differing.empty())
        return;
    html += "<details class=\"differs\"><summary>other clients differ</summary><ul>";
    for (const auto& [key, values] : file->differing) {
        html += "<li>" + escapeHtml(factLabel(key)) + ": ";
        for (std::size_t i = 0; i < values.size(); ++i)
            html += (i ? ", " : "") + std::string("\xE2\x80\x9C") + escapeHtml(values[i]) + "\xE2\x80\x9D";
        html += "</li>";
    }
    html += "</ul></details>";
}

// "seen on 3 of 40 machines, first 2026-12-01", and a rare tag where the
// file is rare; nothing for a file no machine is counted for.
void prevalenceMarker(std::string& html, const RecordView& r)
{
    if (r.machines() == 0)
        return;
    if (r.rare())
        html += " <span class=\"tag rare\">rare</span>";
    html += "<span class=\"seen\">seen on " + std::to_string(r.machines()) + " of " +
            std::to_string(r.machinesInAll) + (r.machinesInAll == 1 ? " machine" : " machines") + ", first " +
            escapeHtml(r.firstSeen().substr(0, 10)) + "</span>";
}

void cell(std::string& html, std::string_view text, std::string_view cls = "")
{
    html += cls.empty() ? "<td>" : "<td class=\"" + std::string(cls) + "\">";
    html += escapeHtml(text);
    html += "</td>";
}

// Sorting keeps each row whole (its modules ride along) and compares
// numerically when both cells are numbers; filtering matches any cell text.
constexpr const char* kTableScript = R"js(
(function () {
  var table = document.getElementById('processes');
  var body = table.tBodies[0];
  var filter = document.getElementById('filter');
  var count = document.getElementById('shown');
  function update() {
    var needle = filter.value.toLowerCase(), shown = 0;
    Array.prototype.forEach.call(body.rows, function (row) {
      var hit = row.textContent.toLowerCase().indexOf(needle) >= 0;
      row.hidden = !hit; if (hit) shown++;
    });
    count.textContent = shown + ' of ' + body.rows.length + ' shown';
  }
  filter.addEventListener('input', update);
  Array.prototype.forEach.call(table.tHead.rows[0].cells, function (th, index) {
    th.addEventListener('click', function () {
      var ascending = th.getAttribute('aria-sort') !== 'ascending';
      Array.prototype.forEach.call(table.tHead.rows[0].cells, function (h) { h.removeAttribute('aria-sort'); });
      th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
      var rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (a, b) {
        var x = a.cells[index].getAttribute('data-sort') || a.cells[index].textContent;
        var y = b.cells[index].getAttribute('data-sort') || b.cells[index].textContent;
        var nx = parseFloat(x), ny = parseFloat(y), r;
        if (!isNaN(nx) && !isNaN(ny) && String(nx) === x.trim() && String(ny) === y.trim()) r = nx - ny;
        else r = x.localeCompare(y);
        return ascending ? r : -r;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
  update();
})();
)js";

// RFC 4180 quoting; a cell that a spreadsheet would take for a formula gets
// a leading apostrophe.
std::string csvCell(std::string_view text)
{
    std::string out = "\"";
    if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '@' || text[0] == '\t' ||
                          text[0] == '\r' || (text[0] == '-' && text.find_first_not_of("-0123456789.") != std::string_view::npos)))
        out.push_back('\'');
    for (char c : text) {
        if (c == '"')
            out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// What the page's cards count, over all records of a scan.
struct Summary {
    std::size_t records = 0, processes = 0, unknownFiles = 0, listening = 0, startup = 0, services = 0;

    void add(const RecordView& r)
    {
        ++records;
        processes += r.isProcess() ? 1 : 0;
        unknownFiles += r.known() ? 0 : 1;
        listening += r.isProcess() && r.listensWidely() ? 1 : 0;
        startup += r.isStartupEntry() ? 1 : 0;
        services += r.isService() ? 1 : 0;
    }
};

// JSON text of a string: quotes, backslashes and control characters
// escaped, and every byte that is not part of valid UTF-8 replaced by
// U+FFFD, so that a stored value can never break the document.
void appendJsonString(std::string& out, std::string_view text)
{
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            std::size_t run = i + 1;
            while (run < text.size()) {
                const auto d = static_cast<unsigned char>(text[run]);
                if (d < 0x20 || d >= 0x80 || d == '"' || d == '\\')
                    break;
                ++run;
            }
            out.append(text.substr(i, run - i));
            i = run;
            continue;
        }
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                constexpr char kDigits[] = "0123456789abcdef";
                out += "\\u00";
                out.push_back(kDigits[c >> 4]);
                out.push_back(kDigits[c & 0xF]);
            }
            }
            ++i;
            continue;
        }
        // The length and the smallest value of a sequence led by c.
        std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
        std::uint32_t code = length == 4 ? c & 0x07 : length == 3 ? c & 0x0F : c & 0x1F;
        bool valid = length != 0 && c <= 0xF4 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto d = static_cast<unsigned char>(text[i + k]);
            valid = (d & 0xC0) == 0x80;
            code = code << 6 | (d & 0x3F);
        }
        const std::uint32_t smallest = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0x80;
        valid = valid && code >= smallest && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (valid) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    out.push_back('"');
}

void appendJsonValues(std::string& out, const Values& values)
{
    out.push_back('{');
    bool first = true;
    for (const auto& [key, value] : values) {
        if (!first)
            out.push_back(',');
        first = false;
        appendJsonString(out, key);
        out.push_back(':');
        appendJsonString(out, value);
    }
    out.push_back('}');
}

// A report read from the store page by page and written as it goes. A
// subclass writes the parts of one format; this base pages through the
// records, joins each with its file and names the modules.
class PagedReport : public ReportWriter {
public:
    PagedReport(ScanStore& store, ScanOutline outline, PageRequest pages)
        : store_(store), outline_(std::move(outline)), pages_(pages)
    {
        pages_.first = 0;
    }

    bool next(std::string& out) override
    {
        switch (stage_) {
        case Stage::Summary:
            if (!needsSummary() || done()) {
                stage_ = Stage::Head;
                pages_.first = 0;
                return next(out);
            }
            return forEachOfNextPage(false, [&](const RecordView& r) { summary_.add(r); });
        case Stage::Head:
            head(out);
            stage_ = Stage::Records;
            return true;
        case Stage::Records:
            if (done()) {
                foot(out);
                stage_ = Stage::Done;
                return true;
            }
            return forEachOfNextPage(true, [&](const RecordView& r) { record(out, r); });
        case Stage::Done:
            return false;
        }
        return false;
    }

    bool failed() const override { return failed_; }

protected:
    // Whether head() shows what the whole scan holds, which takes a pass
    // over its records before the first byte.
    virtual bool needsSummary() const { return false; }
    virtual void head(std::string& out) = 0;
    virtual void record(std::string& out, const RecordView& r) = 0;
    virtual void foot(std::string& out) = 0;

    const ScanOutline& outline() const { return outline_; }
    const Summary& summary() const { return summary_; }

    // A module id only has to name a file of the scan, so one accepted
    // upload can list a long path many times. The paths that module lists
    // show in one report are counted; past the budget a module is named by
    // its file id alone, which keeps every page and export bounded.
    static constexpr std::size_t kModulePathBudget = 16u << 20;

    std::string moduleName(const std::optional<std::int64_t>& id)
    {
        if (!id)
            return "(not scanned)";
        auto it = page_.moduleRecords.find(*id);
        std::string path = it == page_.moduleRecords.end() ? std::string() : fullPathOf(it->second);
        if (path.empty() || modulePathBytes_ + path.size() > kModulePathBudget)
            return "file " + std::to_string(*id);
        modulePathBytes_ += path.size();
        return path;
    }

private:
    enum class Stage { Summary, Head, Records, Done };

    bool done() const { return pages_.first >= outline_.records; }

    // Reads the next page and hands its records to `each`; false (and
    // failed) when the store gives none although records are left.
    template <typename Each>
    bool forEachOfNextPage(bool moduleRecords, Each each)
    {
        pages_.moduleRecords = moduleRecords;
        auto page = store_.loadScanPage(outline_.header.scanId, pages_);
        if (!page || page->processes.empty()) {
            failed_ = true;
            stage_ = Stage::Done;
            return false;
        }
        page_ = std::move(*page);
        for (std::size_t k = 0; k < page_.processes.size(); ++k) {
            RecordView view;
            view.position = pages_.first + k;
            view.record = &page_.processes[k];
            auto file = page_.files.find(view.fileId());
            view.file = file == page_.files.end() ? nullptr : &file->second;
            view.machinesInAll = outline_.machinesInAll;
            each(view);
        }
        pages_.first += page_.processes.size();
        page_ = ScanPage();
        return true;
    }

    ScanStore& store_;
    const ScanOutline outline_;
    PageRequest pages_;
    ScanPage page_;
    Stage stage_ = Stage::Summary;
    Summary summary_;
    std::size_t modulePathBytes_ = 0;
    bool failed_ = false;
};

class PageReport final : public PagedReport {
public:
    using PagedReport::PagedReport;

private:
    bool needsSummary() const override { return true; }

    void head(std::string& html) override
    {
        const ScanOutline& scan = outline();
        const Values& s = scan.scanValues;
        std::string os = valueOf(s, "Caption");
        for (const char* key : {"CSDVersion", "Version"}) {
            std::string part = valueOf(s, key);
            if (!part.empty())
                os += (os.empty() ? "" : " ") + part;
        }
        std::string display;
        if (!valueOf(s, "PelsWidth").empty())
            display = valueOf(s, "PelsWidth") + " \xC3\x97 " + valueOf(s, "PelsHeight") + ", " +
                      valueOf(s, "BitsPerPel") + " bit";

        const Summary& counts = summary();
        html += pageHead("Zorvane report " + scan.header.scanTime);
        html += "<h1>Processes of the scan of " + escapeHtml(scan.header.scanTime) + " UTC</h1>\n";
        html += "<div class=\"cards\">\n";
        card(html, "Operating system", os);
        card(html, "Processor", valueOf(s, "Processor"));
        card(html, "Display", display);
        card(html, "Scan time (UTC)", scan.header.scanTime);
        card(html, "Processes", std::to_string(counts.processes));
        card(html, "Files", std::to_string(counts.records));
        card(html, "Unknown files", std::to_string(counts.unknownFiles));
        card(html, "Listening on all interfaces or the internet", std::to_string(counts.listening));
        card(html, "Startup entries", std::to_string(counts.startup));
        card(html, "Services", std::to_string(counts.services));
        html += "</div>\n";

        html += "<h2>Processes</h2>\n<div class=\"toolbar\"><input id=\"filter\" type=\"search\" "
                "placeholder=\"Filter processes\" aria-label=\"Filter processes\"><span class=\"count\" "
                "id=\"shown\"></span><a href=\"" +
                escapeHtml(scan.header.scanId) + ".json\">JSON</a><a href=\"" + escapeHtml(scan.header.scanId) +
                ".csv\">CSV</a></div>\n";
        html += "<div class=\"table-wrap\"><table id=\"processes\"><thead><tr>";
        for (const char* h : {"Image", "PID", "Parent", "Path", "Company", "Product", "Description", "Version",
                              "MD5 / SHA-1", "Status", "Startup", "Network", "Ports", "Memory", "Modules"})
            html += std::string("<th scope=\"col\">") + h + "</th>";
        html += "</tr></thead>\n<tbody>\n";
    }

    void record(std::string& html, const RecordView& r) override
    {
        if (!r.isProcess())
            return;
        html += "<tr>";
        cell(html, r.imageName());
        cell(html, r.value("wmi.ProcessId"));
        cell(html, r.value("wmi.ParentProcessId"));
        std::string lpath = r.value("path.lpath");
        cell(html, lpath.empty() ? r.value("path.path") : lpath, "path mono");
        cell(html, r.fact("ver.CompanyName"));
        cell(html, r.fact("ver.ProductName"));
        cell(html, r.fact("ver.FileDescription"));
        cell(html, r.fact("ver.FileVersion"));
        html += "<td class=\"mono digest\">" + escapeHtml(r.fact("hash.md5")) + "<br>" +
                escapeHtml(r.fact("hash.sha1")) + "</td>";
        html += r.known() ? "<td><span class=\"tag known\">known</span>" : "<td><span class=\"tag unknown\">unknown</span>";
        prevalenceMarker(html, r);
        differingMarker(html, r.file);
        html += "</td>";
        std::string startupText = startupMethodLabel(r.value("ref.startupMethod"));
        std::string service = r.value("reg.DisplayName");
        if (!service.empty())
            startupText += (startupText.empty() ? "" : ": ") + service;
        cell(html, startupText);
        cell(html, networkUsageLabel(r.value("ref.networkUsage")));
        cell(html, r.value("net.NetworkPorts"), "mono");
        std::string share = r.value("ref.memoryUsage");
        html += "<td data-sort=\"" + escapeHtml(share) + "\">" + escapeHtml(memoryPercent(share)) + "</td>";
        const auto& modules = r.record->process.modules;
        html += "<td data-sort=\"" + std::to_string(modules.size()) + "\">";
        if (modules.empty()) {
            html += "0";
        } else {
            html += "<details><summary>" + std::to_string(modules.size()) + "</summary><ol class=\"mono\">";
            for (const auto& m : modules)
                html += "<li>" + escapeHtml(moduleName(m)) + "</li>";
            html += "</ol></details>";
        }
        html += "</td></tr>\n";
    }

    void foot(std::string& html) override
    {
        html += "</tbody></table></div>\n<script>" + std::string(kTableScript) + "</script>\n";
        html += "<form class=\"delete\" method=\"post\" action=\"" + escapeHtml(outline().header.scanId) +
                "/delete\"><label><input type=\"checkbox\" name=\"confirm\" value=\"yes\" required> "
                "Delete this report and the facts its scan sent, for good</label>"
                "<button type=\"submit\">Delete report</button></form>\n";
        html += pageFoot();
    }
};

// Keys in name order, as a JSON object's reader may expect them sorted;
// "records" comes before "summary", which counts them as they go.
class JsonReport final : public PagedReport {
public:
    using PagedReport::PagedReport;

private:
    void head(std::string& json) override
    {
        const ScanOutline& scan = outline();
        json += "{\"clientIp\":";
        appendJsonString(json, scan.header.clientIp);
        json += ",\n\"scan\":";
        appendJsonValues(json, scan.scanValues);
        json += ",\n\"scanId\":";
        appendJsonString(json, scan.header.scanId);
        json += ",\n\"scanTime\":";
        appendJsonString(json, scan.header.scanTime);
        json += ",\n\"submittedAt\":";
        appendJsonString(json, scan.submittedAt);
        json += ",\n\"records\":[";
    }

    void record(std::string& json, const RecordView& r) override
    {
        counts_.add(r);
        // Values of the corroborating clients that differ from "file".
        json += counts_.records > 1 ? ",\n{\"differing\":" : "\n{\"differing\":";
        json += disputesToJson(r.file ? r.file->differing : Disputes{});
        json += ",\"file\":";
        if (r.file)
            appendJsonValues(json, r.file->facts);
        else
            json += "{}";
        json += ",\"fileId\":" + std::to_string(r.fileId());
        json += ",\"firstSeen\":";
        appendJsonString(json, r.firstSeen());
        json += r.known() ? ",\"known\":true" : ",\"known\":false";
        json += ",\"machines\":" + std::to_string(r.machines());
        json += ",\"machinesInAll\":" + std::to_string(r.machinesInAll);
        json += ",\"modules\":[";
        bool first = true;
        for (const auto& m : r.record->process.modules) {
            json += first ? "" : ",";
            first = false;
            if (!m) {
                json += "null";
                continue;
            }
            json += "{\"fileId\":" + std::to_string(*m) + ",\"path\":";
            appendJsonString(json, moduleName(m));
            json += "}";
        }
        json += r.file && r.file->own ? "],\"ownFacts\":true" : "],\"ownFacts\":false";
        json += ",\"path\":";
        appendJsonString(json, r.fullPath());
        json += ",\"position\":" + std::to_string(r.position);
        json += r.isProcess() ? ",\"process\":true" : ",\"process\":false";
        json += r.rare() ? ",\"rare\":true" : ",\"rare\":false";
        json += ",\"values\":";
        appendJsonValues(json, r.record->process.values);
        json += "}";
    }

    void foot(std::string& json) override
    {
        json += "\n],\n\"summary\":{\"processes\":" + std::to_string(counts_.processes) +
                ",\"records\":" + std::to_string(counts_.records) +
                ",\"unknownFiles\":" + std::to_string(counts_.unknownFiles) + "}}\n";
    }

    Summary counts_;
};

class CsvReport final : public PagedReport {
public:
    using PagedReport::PagedReport;

private:
    void head(std::string& csv) override
    {
        csv += "position,pid,parent_pid,image,path,generalised_path,company,product,description,version,md5,sha1,"
               "size,known,startup_method,network_usage,network_ports,memory_usage,modules,machines,machines_in_all,"
               "first_seen,rare\r\n";
    }

    void record(std::string& csv, const RecordView& r) override
    {
        const std::string cells[] = {
            std::to_string(r.position),       r.value("wmi.ProcessId"),
            r.value("wmi.ParentProcessId"),   r.imageName(),
            r.fullPath(),                     r.value("path.lpath"),
            r.fact("ver.CompanyName"),        r.fact("ver.ProductName"),
            r.fact("ver.FileDescription"),    r.fact("ver.FileVersion"),
            r.fact("hash.md5"),               r.fact("hash.sha1"),
            r.fact("handle.filesize"),        r.known() ? "known" : "unknown",
            r.value("ref.startupMethod"),     r.value("ref.networkUsage"),
            r.value("net.NetworkPorts"),      r.value("ref.memoryUsage"),
            std::to_string(r.record->process.modules.size()),
            std::to_string(r.machines()),     std::to_string(r.machinesInAll),
            r.firstSeen(),                    r.rare() ? "rare" : ""};
        bool first = true;
        for (const std::string& text : cells) {
            if (!first)
                csv.push_back(',');
            first = false;
            csv += csvCell(text);
        }
        csv += "\r\n";
    }

    void foot(std::string&) override {}
};

}  // namespace

std::unique_ptr<ReportWriter> openReport(ScanStore& store, ScanOutline outline, ReportFormat format,
                                         PageRequest pages)
{
    switch (format) {
    case ReportFormat::Page:
        return std::make_unique<PageReport>(store, std::move(outline), pages);
    case ReportFormat::Json:
        return std::make_unique<JsonReport>(store, std::move(outline), pages);
    case ReportFormat::Csv:
        return std::make_unique<CsvReport>(store, std::move(outline), pages);
    }
    return nullptr;
}

std::string escapeHtml(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::string renderMessagePage(std::string_view title, std::string_view message)
{
    std::string html = pageHead(title);
    html += "<h1>" + escapeHtml(title) + "</h1>\n<p>" + escapeHtml(message) + "</p>\n";
    html += pageFoot();
    return html;
}

std::string renderAgreementPage()
{
    std::string html = pageHead("Zorvane terms of use");
    html += R"html(<div class="legal">
<h1>Zorvane terms of use</h1>
<p>Please read these terms before you run a Zorvane scan. By starting a scan you agree to them.</p>
<h2>1. What the scan sends</h2>
<p>Zorvane lists the processes running on your computer and the files they load. For each file it sends
its name and folder, its version information, its size and its MD5 and SHA-1 digests. For each process it
sends its process data (identifier, parent, memory and handle counts, processor times), the network ports it
holds open, and the services and startup entries that start it. For the computer it sends the operating
system, the processor, the display settings and two identifiers derived from hardware data and the time of
the scan. It sends no document contents, no passwords and no personal files.</p>
<h2>2. How the report is kept</h2>
<p>Every scan gets a random address that is not listed anywhere. Anyone who knows the address can open the
report, so share it only with people you trust, and anyone who knows it can delete the report with the form at
the end of its page. Reports are deleted after the retention period the service's operator sets. Facts about
files (digests, sizes, version information) are kept to recognise the same files in later scans; they are shown
to other users only once several computers sent the same digests for a file.</p>
<h2>3. No warranty</h2>
<p>The report describes what the scan found; it is not a verdict on the safety of any file. The software and
the service are provided as they are, without warranty of any kind, to the extent the law allows.</p>
<h2>4. Your choice</h2>
<p>You may stop a scan at any time with Cancel. Nothing is sent before the scan has finished.</p>
</div>
)html";
    html += pageFoot();
    return html;
}

}  // namespace zorvane::service
