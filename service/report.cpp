#include "service/report.h"

#include <cstdlib>
#include <map>
#include <vector>

#include <nlohmann/json.hpp>

namespace zorvane::service {

namespace {

std::string valueOf(const Values& values, std::string_view key)
{
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

// One record of a scan joined with the static facts of its file.
struct RecordView {
    std::size_t position = 0;
    const StoredProcess* record = nullptr;
    const StoredFile* file = nullptr;

    std::string value(std::string_view key) const { return valueOf(record->process.values, key); }
    std::string fact(std::string_view key) const { return file ? valueOf(file->facts, key) : std::string(); }
    // A record without a pid is still a process when it lists modules (WMI
    // may not know a process that started after its query); a record of a
    // file that no process runs has neither.
    bool isProcess() const { return !value("wmi.ProcessId").empty() || !record->process.modules.empty(); }
    bool known() const { return file && file->known; }
    std::int64_t fileId() const { return record->slot.fileId; }

    std::string imageName() const
    {
        std::string name = value("path.file");
        return name.empty() ? fact("path.file") : name;
    }
    std::string fullPath() const
    {
        std::string directory = value("path.path");
        std::string name = value("path.file");
        if (name.empty())
            return directory;
        return directory.empty() ? name : directory + "\\" + name;
    }
    bool listensWidely() const
    {
        std::string ports = value("net.NetworkPorts");
        return ports.find("|DEFAULT") != std::string::npos || ports.find("|INTERNET") != std::string::npos;
    }
    bool isService() const { return value("ref.startupMethod") == "2"; }
    bool isStartupEntry() const { return value("ref.startupMethod") == "3" || !value("wmi.StartupLocation").empty(); }
};

struct ScanView {
    std::vector<RecordView> records;
    std::map<std::int64_t, std::string> pathOfFile;

    explicit ScanView(const StoredScan& scan)
    {
        for (std::size_t k = 0; k < scan.processes.size(); ++k) {
            RecordView view;
            view.position = k;
            view.record = &scan.processes[k];
            auto file = scan.files.find(view.fileId());
            view.file = file == scan.files.end() ? nullptr : &file->second;
            records.push_back(view);
            pathOfFile.emplace(view.fileId(), view.fullPath());
        }
        for (const auto& [id, file] : scan.files)
            pathOfFile.emplace(id, valueOf(file.facts, "path.file"));
    }

    // A module id only has to name a file of the scan, so one accepted
    // upload can list a long path a million times. The paths that module
    // lists show in one report are counted; past the budget a module is
    // named by its file id alone, which keeps every page and export bounded.
    static constexpr std::size_t kModulePathBudget = 16u << 20;

    std::string moduleName(const std::optional<std::int64_t>& id)
    {
        if (!id)
            return "(not scanned)";
        auto it = pathOfFile.find(*id);
        if (it == pathOfFile.end() || it->second.empty() || modulePathBytes_ + it->second.size() > kModulePathBudget)
            return "file " + std::to_string(*id);
        modulePathBytes_ += it->second.size();
        return it->second;
    }

private:
    std::size_t modulePathBytes_ = 0;
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

}  // namespace

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

std::string renderReportPage(const StoredScan& scan)
{
    ScanView view(scan);
    const Values& s = scan.scanValues;
    std::size_t processes = 0, unknownFiles = 0, listening = 0, startup = 0, services = 0;
    for (const RecordView& r : view.records) {
        if (r.isProcess())
            ++processes;
        if (!r.known())
            ++unknownFiles;
        if (r.isProcess() && r.listensWidely())
            ++listening;
        if (r.isStartupEntry())
            ++startup;
        if (r.isService())
            ++services;
    }

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

    std::string html = pageHead("Zorvane report " + scan.header.scanTime);
    html += "<h1>Processes of the scan of " + escapeHtml(scan.header.scanTime) + " UTC</h1>\n";
    html += "<div class=\"cards\">\n";
    card(html, "Operating system", os);
    card(html, "Processor", valueOf(s, "Processor"));
    card(html, "Display", display);
    card(html, "Scan time (UTC)", scan.header.scanTime);
    card(html, "Processes", std::to_string(processes));
    card(html, "Files", std::to_string(view.records.size()));
    card(html, "Unknown files", std::to_string(unknownFiles));
    card(html, "Listening on all interfaces or the internet", std::to_string(listening));
    card(html, "Startup entries", std::to_string(startup));
    card(html, "Services", std::to_string(services));
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
    for (const RecordView& r : view.records) {
        if (!r.isProcess())
            continue;
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
                html += "<li>" + escapeHtml(view.moduleName(m)) + "</li>";
            html += "</ol></details>";
        }
        html += "</td></tr>\n";
    }
    html += "</tbody></table></div>\n<script>" + std::string(kTableScript) + "</script>\n";
    html += "<form class=\"delete\" method=\"post\" action=\"" + escapeHtml(scan.header.scanId) +
            "/delete\"><label><input type=\"checkbox\" name=\"confirm\" value=\"yes\" required> "
            "Delete this report and the facts its scan sent, for good</label>"
            "<button type=\"submit\">Delete report</button></form>\n";
    html += pageFoot();
    return html;
}

std::string renderReportJson(const StoredScan& scan)
{
    ScanView view(scan);
    nlohmann::json root;
    root["scanId"] = scan.header.scanId;
    root["scanTime"] = scan.header.scanTime;
    root["clientIp"] = scan.header.clientIp;
    root["submittedAt"] = scan.submittedAt;
    root["scan"] = scan.scanValues;
    nlohmann::json records = nlohmann::json::array();
    std::size_t processes = 0, unknown = 0;
    for (const RecordView& r : view.records) {
        processes += r.isProcess() ? 1 : 0;
        unknown += r.known() ? 0 : 1;
        nlohmann::json record;
        record["position"] = r.position;
        record["fileId"] = r.fileId();
        record["known"] = r.known();
        record["process"] = r.isProcess();
        record["path"] = r.fullPath();
        record["values"] = r.record->process.values;
        record["file"] = r.file ? nlohmann::json(r.file->facts) : nlohmann::json::object();
        record["ownFacts"] = r.file && r.file->own;
        record["differing"] = r.file ? nlohmann::json(r.file->differing) : nlohmann::json::object();
        nlohmann::json modules = nlohmann::json::array();
        for (const auto& m : r.record->process.modules) {
            if (m)
                modules.push_back({{"fileId", *m}, {"path", view.moduleName(m)}});
            else
                modules.push_back(nullptr);
        }
        record["modules"] = std::move(modules);
        records.push_back(std::move(record));
    }
    root["summary"] = {{"records", view.records.size()}, {"processes", processes}, {"unknownFiles", unknown}};
    root["records"] = std::move(records);
    return root.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

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

}  // namespace

std::string renderReportCsv(const StoredScan& scan)
{
    ScanView view(scan);
    std::string csv =
        "position,pid,parent_pid,image,path,generalised_path,company,product,description,version,md5,sha1,size,"
        "known,startup_method,network_usage,network_ports,memory_usage,modules\r\n";
    for (const RecordView& r : view.records) {
        std::vector<std::string> cells = {
            std::to_string(r.position),       r.value("wmi.ProcessId"),
            r.value("wmi.ParentProcessId"),   r.imageName(),
            r.fullPath(),                     r.value("path.lpath"),
            r.fact("ver.CompanyName"),        r.fact("ver.ProductName"),
            r.fact("ver.FileDescription"),    r.fact("ver.FileVersion"),
            r.fact("hash.md5"),               r.fact("hash.sha1"),
            r.fact("handle.filesize"),        r.known() ? "known" : "unknown",
            r.value("ref.startupMethod"),     r.value("ref.networkUsage"),
            r.value("net.NetworkPorts"),      r.value("ref.memoryUsage"),
            std::to_string(r.record->process.modules.size())};
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i)
                csv.push_back(',');
            csv += csvCell(cells[i]);
        }
        csv += "\r\n";
    }
    return csv;
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
