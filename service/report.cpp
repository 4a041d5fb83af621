#include "service/report.h"

#include <array>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <vector>

#include "service/status.h"

namespace zorvane::service {

namespace {

// One record of a scan joined with the static facts of its file.
struct RecordView {
    std::size_t position = 0;
    const StoredProcess* record = nullptr;
    const StoredFile* file = nullptr;
    std::int64_t machinesInAll = 0;
    // The status of the record's file, and of the process it is (the most
    // urgent of its own file and its modules' files).
    FileStatus status = FileStatus::Unknown;
    FileStatus processStatus = FileStatus::Unknown;
    // The machine never sent the file before this scan.
    bool isNew = false;

    std::string value(std::string_view key) const { return valueOf(record->process.values, key); }
    std::string fact(std::string_view key) const { return file ? valueOf(file->facts, key) : std::string(); }
    bool isProcess() const { return isProcessRecord(record->process.values, !record->process.modules.empty()); }
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
    bool isStartupEntry() const { return isStartupRecord(record->process.values); }
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
header { background:#0f2747; color:#fff; padding:14px 28px; display:flex; flex-wrap:wrap; align-items:baseline; gap:16px; }
header .brand { font-weight:700; font-size:20px; letter-spacing:.5px; }
header .sub { color:#b8c7dc; }
main { padding:20px 28px 40px; max-width:1600px; margin:0 auto; }
h1 { font-size:22px; margin:4px 0 16px; overflow-wrap:anywhere; }
h2 { font-size:16px; margin:28px 0 10px; }
.cards { display:grid; grid-template-columns:repeat(auto-fill, minmax(210px, 1fr)); gap:12px; }
.card { background:#fff; border:1px solid var(--line); border-radius:8px; padding:12px 14px; }
.card .label { color:var(--muted); font-size:12px; text-transform:uppercase; letter-spacing:.4px; }
.card .value { font-size:16px; font-weight:600; margin-top:2px; overflow-wrap:anywhere; }
nav.statuses { display:grid; grid-template-columns:repeat(auto-fill, minmax(150px, 1fr)); gap:8px; margin:0 0 16px; }
nav.statuses a { display:block; background:#fff; border:1px solid var(--line); border-radius:8px; padding:8px 10px; color:var(--ink); text-decoration:none; }
nav.statuses a[aria-current] { border-color:var(--accent); box-shadow:0 0 0 2px #c7dbfb; }
nav.statuses a.none { opacity:.55; }
nav.statuses .n { display:block; font-size:12px; color:var(--muted); margin-top:4px; }
.toolbar { display:flex; flex-wrap:wrap; gap:12px; align-items:center; margin:8px 0; }
.toolbar input { flex:0 1 360px; min-width:0; padding:7px 10px; border:1px solid var(--line); border-radius:6px; font:inherit; }
.toolbar .count { color:var(--muted); }
table { border-collapse:collapse; width:100%; table-layout:fixed; background:#fff; }
th, td { padding:6px 8px; text-align:left; vertical-align:top; overflow-wrap:anywhere; }
tr.row td { border-top:1px solid var(--line); }
th { background:#eef2f7; position:sticky; top:0; cursor:pointer; user-select:none; z-index:1; overflow-wrap:normal; }
th[aria-sort="ascending"]::after { content:" \25B2"; font-size:10px; }
th[aria-sort="descending"]::after { content:" \25BC"; font-size:10px; }
tbody.proc:hover td { background:#f8fafc; }
tr.more td { padding-top:0; }
.mono { font-family:ui-monospace, "Cascadia Mono", Consolas, monospace; font-size:12px; }
.sub { display:block; font-size:12px; color:var(--muted); }
.table-wrap { border:1px solid var(--line); border-radius:8px; }
.tag { display:inline-block; padding:1px 7px; border-radius:10px; font-size:12px; font-weight:600; white-space:nowrap; background:#eef2f7; color:var(--muted); }
.tag.known-bad { background:#b42318; color:#fff; }
.tag.rare { background:#fee4e2; color:#b42318; }
.tag.new { background:#ebe9fe; color:#5925dc; }
.tag.unknown { background:#fef0c7; color:var(--warn); }
.tag.common { background:#eef2f7; color:#344054; }
.tag.known-good { background:#dcfae6; color:var(--ok); }
.seen { display:block; font-size:12px; color:var(--muted); }
details.differs summary { color:var(--warn); font-size:12px; }
details.differs ul { margin:4px 0 0; padding-left:18px; font-size:12px; }
dl.facts { display:grid; grid-template-columns:max-content minmax(0, 1fr); gap:2px 12px; margin:6px 0; font-size:13px; }
dl.facts dt { color:var(--muted); }
dl.facts dd { margin:0; overflow-wrap:anywhere; }
ol.modules { margin:6px 0 0; padding-left:28px; max-height:420px; overflow:auto; }
ol.modules li { padding:2px 0; overflow-wrap:anywhere; }
ol.modules .seen { display:inline; margin-left:6px; }
section.change ul { margin:6px 0 0; padding-left:22px; max-height:260px; overflow:auto; overflow-wrap:anywhere; }
section.change .lists { display:grid; grid-template-columns:repeat(auto-fill, minmax(min(100%, 420px), 1fr)); gap:8px; align-items:start; }
section.change details { background:#fff; border:1px solid var(--line); border-radius:8px; padding:8px 12px; min-width:0; }
form.delete { margin:28px 0 0; padding:12px 14px; background:#fff; border:1px solid var(--line); border-radius:8px; }
form.delete button { margin-left:12px; }
details summary { cursor:pointer; color:var(--accent); }
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

// "seen on 3 of 40 machines, first 2026-12-01"; empty for a file no
// machine is counted for.
std::string seenText(std::int64_t machines, std::int64_t machinesInAll, std::string_view firstSeen)
{
    if (machines == 0)
        return "";
    return "seen on " + std::to_string(machines) + " of " + std::to_string(machinesInAll) +
           (machinesInAll == 1 ? " machine" : " machines") + ", first " + std::string(firstSeen.substr(0, 10));
}

void statusTag(std::string& html, FileStatus status)
{
    html += "<span class=\"tag ";
    html += statusSlug(status);
    html += "\">";
    html += statusName(status);
    html += "</span>";
}

// "Set (product, name)" of a set match.
std::string setText(const SetMatch& match)
{
    std::string text = match.set;
    std::string detail = match.product;
    if (!match.name.empty())
        detail += (detail.empty() ? "" : ", ") + match.name;
    return detail.empty() ? text : text + " (" + detail + ")";
}

void cell(std::string& html, std::string_view text, std::string_view cls = "")
{
    html += cls.empty() ? "<td>" : "<td class=\"" + std::string(cls) + "\">";
    html += escapeHtml(text);
    html += "</td>";
}

// Each process is a tbody of its row and the row that expands into its
// modules; sorting and filtering move and hide whole tbodies. Sorting
// compares numerically when both cells are numbers. The status links
// filter in place when the page holds every process.
constexpr const char* kTableScript = R"js(
(function () {
  var table = document.getElementById('processes');
  var filter = document.getElementById('filter');
  var count = document.getElementById('shown');
  var groups = Array.prototype.filter.call(table.tBodies, function (b) { return b.classList.contains('proc'); });
  var status = table.getAttribute('data-only') || '';
  function update() {
    var needle = filter.value.toLowerCase(), shown = 0;
    groups.forEach(function (group) {
      var hit = (!status || group.getAttribute('data-status') === status) &&
                group.textContent.toLowerCase().indexOf(needle) >= 0;
      group.hidden = !hit; if (hit) shown++;
    });
    count.textContent = shown + ' of ' + groups.length + ' shown';
  }
  filter.addEventListener('input', update);
  var links = document.querySelectorAll('nav.statuses a');
  if (!table.hasAttribute('data-only') && window.history && history.replaceState) {
    Array.prototype.forEach.call(links, function (link) {
      link.addEventListener('click', function (event) {
        event.preventDefault();
        status = link.getAttribute('data-status') || '';
        Array.prototype.forEach.call(links, function (l) { l.removeAttribute('aria-current'); });
        link.setAttribute('aria-current', 'page');
        history.replaceState(null, '', link.href);
        update();
      });
    });
  }
  var heads = table.tHead.rows[0].cells;
  Array.prototype.forEach.call(heads, function (th, index) {
    th.addEventListener('click', function () {
      var ascending = th.getAttribute('aria-sort') !== 'ascending';
      Array.prototype.forEach.call(heads, function (h) { h.removeAttribute('aria-sort'); });
      th.setAttribute('aria-sort', ascending ? 'ascending' : 'descending');
      function key(group) {
        var c = group.rows[0].cells[index];
        return c.getAttribute('data-sort') || c.textContent;
      }
      groups.sort(function (a, b) {
        var x = key(a), y = key(b);
        var nx = parseFloat(x), ny = parseFloat(y), r;
        if (!isNaN(nx) && !isNaN(ny) && String(nx) === x.trim() && String(ny) === y.trim()) r = nx - ny;
        else r = x.localeCompare(y);
        return ascending ? r : -r;
      });
      groups.forEach(function (group) { table.appendChild(group); });
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

constexpr std::size_t kStatuses = std::size(kStatusesInRank);

std::size_t rankOf(FileStatus status)
{
    return static_cast<std::size_t>(status);
}

// What the page's summary counts, over all records of a scan.
struct Summary {
    std::size_t records = 0, processes = 0, unknownFiles = 0, listening = 0, startup = 0, services = 0;
    // Records by their file's status, and processes by theirs, by rank.
    std::array<std::size_t, kStatuses> files{}, processesByStatus{};

    void add(const RecordView& r)
    {
        ++records;
        processes += r.isProcess() ? 1 : 0;
        unknownFiles += r.known() ? 0 : 1;
        listening += r.isProcess() && r.listensWidely() ? 1 : 0;
        startup += r.isStartupEntry() ? 1 : 0;
        services += r.isService() ? 1 : 0;
        ++files[rankOf(r.status)];
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

// What a module row shows of its file, learnt in the pass over all records
// before the report is written.
struct FileMark {
    FileStatus status = FileStatus::Unknown;
    std::int64_t machines = 0;
    std::string firstSeen;  // the date
    std::string set;        // the first set match, as setText() has it
};

// A report read from the store page by page and written as it goes. A
// subclass writes the parts of one format; this base pages through the
// records, joins each with its file and names the modules.
//
// A first pass over every record, without module paths, gives each file its
// status and each process the most urgent status of its file and its
// modules' files (every module file is a record of the same scan), and
// counts what the summary shows. It keeps a mark per file and the module
// ids of the processes until they are resolved, so it holds no more than
// the scan's record and module caps allow.
class PagedReport : public ReportWriter {
public:
    PagedReport(ScanStore& store, ScanOutline outline, PageRequest pages)
        : store_(store), outline_(std::move(outline)), pages_(std::move(pages))
    {
        pages_.first = 0;
        pages_.positions.clear();
    }

    bool next(std::string& out) override
    {
        switch (stage_) {
        case Stage::Census:
            if (pages_.first >= outline_.records) {
                finishCensus();
                stage_ = Stage::Head;
                return next(out);
            }
            if (!forEachOfNextPage(false, [&](const RecordView& r) { countRecord(r); }))
                return false;
            out += whileCounting();
            return true;
        case Stage::Head:
            head(out);
            stage_ = Stage::Records;
            return true;
        case Stage::Records:
            if (recordsDone()) {
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
    virtual void head(std::string& out) = 0;
    virtual void record(std::string& out, const RecordView& r) = 0;
    virtual void foot(std::string& out) = 0;
    // What a format learns of each record in the first pass.
    virtual void census(const RecordView&) {}
    // What the report sends for each page of the first pass, before its
    // head: text that changes nothing where the format allows it, so that a
    // first pass slowed by other readers of the store does not leave the
    // connection idle.
    virtual std::string_view whileCounting() const { return ""; }
    // The positions of the records to write, in order; none: every record,
    // in scan order. Asked once the first pass is done.
    virtual std::optional<std::vector<std::size_t>> order() const { return std::nullopt; }

    const ScanOutline& outline() const { return outline_; }
    const Summary& summary() const { return summary_; }
    // The positions of the processes of one status, ascending.
    const std::vector<std::size_t>& processesOf(FileStatus status) const { return byStatus_[rankOf(status)]; }
    const FileMark* markOf(std::int64_t fileId) const
    {
        auto it = marks_.find(fileId);
        return it == marks_.end() ? nullptr : &it->second;
    }

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
    enum class Stage { Census, Head, Records, Done };

    struct ProcessModules {
        std::size_t position = 0;
        FileStatus own = FileStatus::Unknown;
        std::size_t modulesEnd = 0;  // its module ids end here in moduleIds_
    };

    void countRecord(const RecordView& r)
    {
        summary_.add(r);
        if (!marks_.contains(r.fileId())) {
            FileMark& mark = marks_[r.fileId()];
            mark.status = r.status;
            mark.machines = r.machines();
            mark.firstSeen = r.firstSeen().substr(0, 10);
            if (r.file && !r.file->sets.empty())
                mark.set = setText(r.file->sets.front());
        }
        if (r.isProcess()) {
            for (const auto& m : r.record->process.modules) {
                if (m)
                    moduleIds_.push_back(*m);
            }
            processes_.push_back({r.position, r.status, moduleIds_.size()});
        }
        census(r);
    }

    void finishCensus()
    {
        processStatus_.assign(outline_.records, FileStatus::Unknown);
        std::size_t begin = 0;
        for (const ProcessModules& p : processes_) {
            FileStatus status = p.own;
            for (std::size_t k = begin; k < p.modulesEnd; ++k) {
                const FileMark* mark = markOf(moduleIds_[k]);
                status = moreUrgent(status, mark ? mark->status : FileStatus::Unknown);
            }
            begin = p.modulesEnd;
            if (p.position < processStatus_.size())
                processStatus_[p.position] = status;
            ++summary_.processesByStatus[rankOf(status)];
            byStatus_[rankOf(status)].push_back(p.position);
        }
        processes_ = {};
        moduleIds_ = {};
        order_ = order();
        pages_.first = 0;
    }

    bool recordsDone() const { return order_ ? next_ >= order_->size() : pages_.first >= outline_.records; }

    // Reads the next page and hands its records to `each`; false (and
    // failed) when the store gives none although records are left. In an
    // order of its own, a page takes the next ascending run of positions.
    template <typename Each>
    bool forEachOfNextPage(bool moduleRecords, Each each)
    {
        pages_.moduleRecords = moduleRecords;
        pages_.positions.clear();
        if (order_) {
            for (std::size_t i = next_; i < order_->size() && pages_.positions.size() < pages_.maxRecords; ++i) {
                if (i > next_ && (*order_)[i] <= (*order_)[i - 1])
                    break;
                pages_.positions.push_back((*order_)[i]);
            }
        }
        auto page = store_.loadScanPage(outline_.header.scanId, pages_);
        if (!page || page->processes.empty() || (order_ && page->processes.size() > pages_.positions.size())) {
            failed_ = true;
            stage_ = Stage::Done;
            return false;
        }
        page_ = std::move(*page);
        for (std::size_t k = 0; k < page_.processes.size(); ++k) {
            RecordView view;
            view.position = order_ ? pages_.positions[k] : pages_.first + k;
            view.record = &page_.processes[k];
            auto file = page_.files.find(view.fileId());
            view.file = file == page_.files.end() ? nullptr : &file->second;
            view.machinesInAll = outline_.machinesInAll;
            view.isNew = outline_.change && outline_.change->isNewFile(view.fileId());
            view.status = fileStatus(view.file, view.isNew, view.machinesInAll);
            view.processStatus =
                view.position < processStatus_.size() ? processStatus_[view.position] : view.status;
            each(view);
        }
        if (order_)
            next_ += page_.processes.size();
        else
            pages_.first += page_.processes.size();
        page_ = ScanPage();
        return true;
    }

    ScanStore& store_;
    const ScanOutline outline_;
    PageRequest pages_;
    ScanPage page_;
    Stage stage_ = Stage::Census;
    Summary summary_;
    std::map<std::int64_t, FileMark> marks_;
    std::vector<ProcessModules> processes_;
    std::vector<std::int64_t> moduleIds_;
    std::vector<FileStatus> processStatus_;
    std::array<std::vector<std::size_t>, kStatuses> byStatus_;
    std::optional<std::vector<std::size_t>> order_;
    std::size_t next_ = 0;  // into order_
    std::size_t modulePathBytes_ = 0;
    bool failed_ = false;
};

// Long lists of a page (the changes since the previous scan) show their
// items up to this many bytes of text, then say how many more there are.
constexpr std::size_t kChangeListBudget = 256u << 10;
// A list of more items than this starts collapsed.
constexpr std::size_t kOpenListItems = 8;

class PageReport final : public PagedReport {
public:
    PageReport(ScanStore& store, ScanOutline outline, PageRequest pages, std::optional<FileStatus> only)
        : PagedReport(store, std::move(outline), std::move(pages)), only_(only)
    {
    }

private:
    static constexpr int kColumns = 9;

    // White space before the document type is no part of the document.
    std::string_view whileCounting() const override { return "\n"; }

    void census(const RecordView& r) override
    {
        // The paths of the files new to this machine, by which the changes
        // list them.
        if (!r.isNew || newFilePaths_.contains(r.fileId()))
            return;
        std::string path = r.fullPath();
        if (newFilePathBytes_ + path.size() > kChangeListBudget)
            return;
        newFilePathBytes_ += path.size();
        newFilePaths_.emplace(r.fileId(), std::move(path));
    }

    // The processes of the one status asked for, or of each in rank order;
    // within a status, in scan order.
    std::optional<std::vector<std::size_t>> order() const override
    {
        std::vector<std::size_t> positions;
        for (FileStatus status : kStatusesInRank) {
            if (!only_ || *only_ == status)
                positions.insert(positions.end(), processesOf(status).begin(), processesOf(status).end());
        }
        return positions;
    }

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
        statusLinks(html);
        html += "<div class=\"cards\">\n";
        card(html, "Operating system", os);
        card(html, "Processor", valueOf(s, "Processor"));
        card(html, "Display", display);
        card(html, "Scan time (UTC)", scan.header.scanTime);
        card(html, "Processes", std::to_string(counts.processes));
        card(html, "Files", std::to_string(counts.records));
        card(html, "Listening on all interfaces or the internet", std::to_string(counts.listening));
        card(html, "Startup entries", std::to_string(counts.startup));
        card(html, "Services", std::to_string(counts.services));
        html += "</div>\n";
        changes(html);

        const std::string id = escapeHtml(scan.header.scanId);
        html += "<h2>Processes";
        if (only_)
            html += std::string(": ") + std::string(statusName(*only_)) + " (<a href=\"" + id + "\">show all</a>)";
        html += "</h2>\n<div class=\"toolbar\"><input id=\"filter\" type=\"search\" placeholder=\"Filter processes\" "
                "aria-label=\"Filter processes\"><span class=\"count\" id=\"shown\"></span><a href=\"" +
                id + ".json\">JSON</a><a href=\"" + id + ".csv\">CSV</a></div>\n";
        html += "<div class=\"table-wrap\"><table id=\"processes\"";
        if (only_)
            html += std::string(" data-only=\"") + std::string(statusSlug(*only_)) + "\"";
        html += "><colgroup>";
        for (const char* width : {"10%", "12%", "6%", "19%", "19%", "10%", "10%", "7%", "7%"})
            html += std::string("<col style=\"width:") + width + "\">";
        html += "</colgroup><thead><tr>";
        for (const char* h : {"Status", "Image", "PID", "Path", "Product", "Startup", "Network", "Memory", "Modules"})
            html += std::string("<th scope=\"col\">") + h + "</th>";
        html += "</tr></thead>\n";
        if (processesShown() == 0)
            html += "<tbody><tr><td colspan=\"" + std::to_string(kColumns) +
                    "\">No process has this status.</td></tr></tbody>\n";
    }

    std::size_t processesShown() const
    {
        std::size_t shown = 0;
        for (FileStatus status : kStatusesInRank)
            shown += !only_ || *only_ == status ? processesOf(status).size() : 0;
        return shown;
    }

    // The count of each status, each a link to the processes of that
    // status alone.
    void statusLinks(std::string& html)
    {
        const Summary& counts = summary();
        const std::string id = escapeHtml(outline().header.scanId);
        html += "<nav class=\"statuses\" aria-label=\"Processes by status\"><a href=\"" + id + "\"" +
                (only_ ? "" : " aria-current=\"page\"") + "><strong>All</strong><span class=\"n\">" +
                std::to_string(counts.processes) + " processes, " + std::to_string(counts.records) +
                " files</span></a>";
        for (FileStatus status : kStatusesInRank) {
            const std::string slug(statusSlug(status));
            const std::size_t processes = counts.processesByStatus[rankOf(status)];
            const std::size_t files = counts.files[rankOf(status)];
            html += "<a href=\"" + id + "?status=" + slug + "\" data-status=\"" + slug + "\"";
            html += processes + files == 0 ? " class=\"none\"" : "";
            html += only_ == status ? " aria-current=\"page\">" : ">";
            statusTag(html, status);
            html += "<span class=\"n\">" + std::to_string(processes) +
                    (processes == 1 ? " process, " : " processes, ") + std::to_string(files) +
                    (files == 1 ? " file" : " files") + "</span></a>";
        }
        html += "</nav>\n";
    }

    // One list of the changes, collapsed when long, its items' text
    // bounded by kChangeListBudget; an empty one only adds its title to
    // `none`.
    template <typename Item>
    void changeList(std::string& html, std::string& none, std::string_view title, std::size_t count, Item item)
    {
        if (count == 0) {
            none += (none.empty() ? "" : ", ") + std::string(title);
            return;
        }
        html += count > kOpenListItems ? "<details>" : "<details open>";
        html += "<summary>" + escapeHtml(title) + " (" + std::to_string(count) + ")</summary><ul class=\"mono\">";
        std::size_t bytes = 0, k = 0;
        for (; k < count; ++k) {
            std::string text = item(k);
            if (bytes + text.size() > kChangeListBudget)
                break;
            bytes += text.size();
            html += "<li>" + escapeHtml(text) + "</li>";
        }
        if (k < count)
            html += "<li>\xE2\x80\xA6 and " + std::to_string(count - k) + " more</li>";
        html += "</ul></details>\n";
    }

    void changes(std::string& html)
    {
        if (!outline().change)
            return;
        const ScanChange& c = *outline().change;
        html += "<section class=\"change\"><h2>Changes since the previous scan</h2>\n<p>";
        const std::string when =
            c.previousSubmittedAt.empty() ? "" : ", submitted " + escapeHtml(c.previousSubmittedAt) + " UTC";
        if (c.previousKept)
            html += "<a href=\"" + escapeHtml(c.previousScanId) + "\">The previous scan of this machine</a>" + when;
        else
            html += "The previous scan of this machine" + when + ", is no longer kept";
        html += ".</p>\n";
        auto fromList = [](const std::vector<std::string>& list) {
            return [&list](std::size_t k) { return list[k]; };
        };
        std::string none;
        html += "<div class=\"lists\">";
        changeList(html, none, "Processes started", c.started.size(), fromList(c.started));
        changeList(html, none, "Processes gone", c.gone.size(), fromList(c.gone));
        changeList(html, none, "Files new to this machine", c.newFiles.size(), [&](std::size_t k) {
            auto it = newFilePaths_.find(c.newFiles[k]);
            return it == newFilePaths_.end() ? "file " + std::to_string(c.newFiles[k]) : it->second;
        });
        changeList(html, none, "Digests changed at the same path", c.digestChanged.size(), [&](std::size_t k) {
            const DigestChange& d = c.digestChanged[k];
            return d.path + ": " + d.before + " \xE2\x86\x92 " + d.after;
        });
        changeList(html, none, "New startup entries", c.newStartup.size(), fromList(c.newStartup));
        changeList(html, none, "New listening ports", c.newPorts.size(), fromList(c.newPorts));
        html += "</div>\n";
        if (!none.empty())
            html += "<p class=\"sub\">None: " + none + ".</p>\n";
        html += "</section>\n";
    }

    void record(std::string& html, const RecordView& r) override
    {
        if (!r.isProcess())
            return;
        html += "<tbody class=\"proc\" data-status=\"" + std::string(statusSlug(r.processStatus)) +
                "\"><tr class=\"row\"><td data-sort=\"" + std::to_string(rankOf(r.processStatus)) + "\">";
        statusTag(html, r.processStatus);
        if (r.processStatus != r.status)
            html += "<span class=\"seen\">image: " + std::string(statusName(r.status)) + "</span>";
        html += "<span class=\"seen\">" + escapeHtml(seenText(r.machines(), r.machinesInAll, r.firstSeen())) +
                "</span>";
        differingMarker(html, r.file);
        html += "</td>";
        cell(html, r.imageName());
        cell(html, r.value("wmi.ProcessId"));
        std::string lpath = r.value("path.lpath");
        cell(html, lpath.empty() ? r.value("path.path") : lpath, "mono");
        html += "<td>" + escapeHtml(r.fact("ver.ProductName"));
        for (const char* key : {"ver.CompanyName", "ver.FileDescription", "ver.FileVersion"}) {
            std::string text = r.fact(key);
            if (!text.empty())
                html += "<span class=\"sub\">" + escapeHtml(text) + "</span>";
        }
        html += "</td>";
        std::string startupText = startupMethodLabel(r.value("ref.startupMethod"));
        std::string service = r.value("reg.DisplayName");
        if (!service.empty())
            startupText += (startupText.empty() ? "" : ": ") + service;
        cell(html, startupText);
        html += "<td>" + escapeHtml(networkUsageLabel(r.value("ref.networkUsage"))) + "<span class=\"sub mono\">" +
                escapeHtml(r.value("net.NetworkPorts")) + "</span></td>";
        std::string share = r.value("ref.memoryUsage");
        html += "<td data-sort=\"" + escapeHtml(share) + "\">" + escapeHtml(memoryPercent(share)) + "</td>";
        const auto& modules = r.record->process.modules;
        html += "<td data-sort=\"" + std::to_string(modules.size()) + "\">" + std::to_string(modules.size()) +
                "</td></tr>\n";
        expansion(html, r);
        html += "</tbody>\n";
    }

    // The row under a process that opens into its digests and modules.
    void expansion(std::string& html, const RecordView& r)
    {
        const auto& modules = r.record->process.modules;
        html += "<tr class=\"more\"><td colspan=\"" + std::to_string(kColumns) + "\"><details><summary>" +
                std::to_string(modules.size()) + (modules.size() == 1 ? " module" : " modules") +
                ", digests and prevalence</summary><dl class=\"facts\">";
        auto fact = [&](std::string_view label, std::string_view text, bool mono = false) {
            if (text.empty())
                return;
            html += "<dt>" + std::string(label) + "</dt><dd" + (mono ? " class=\"mono\">" : ">") + escapeHtml(text) +
                    "</dd>";
        };
        fact("Full path", r.fullPath(), true);
        fact("Parent PID", r.value("wmi.ParentProcessId"));
        html += "<dt>Image</dt><dd>";
        statusTag(html, r.status);
        html += " " + escapeHtml(seenText(r.machines(), r.machinesInAll, r.firstSeen())) + "</dd>";
        for (const SetMatch& match : r.file ? r.file->sets : std::vector<SetMatch>{})
            fact(match.bad ? "Known bad set" : "Known good set", setText(match));
        fact("MD5", r.fact("hash.md5"), true);
        fact("SHA-1", r.fact("hash.sha1"), true);
        fact("Size", r.fact("handle.filesize"));
        html += "</dl>";
        if (!modules.empty()) {
            html += "<ol class=\"modules\">";
            for (const auto& m : modules) {
                html += "<li>";
                const FileMark* mark = m ? markOf(*m) : nullptr;
                if (mark) {
                    statusTag(html, mark->status);
                    html += " ";
                }
                html += "<span class=\"mono\">" + escapeHtml(moduleName(m)) + "</span>";
                if (mark && mark->machines > 0)
                    html += "<span class=\"seen\">" +
                            escapeHtml(seenText(mark->machines, r.machinesInAll, mark->firstSeen)) + "</span>";
                if (mark && !mark->set.empty())
                    html += "<span class=\"seen\">" + escapeHtml(mark->set) + "</span>";
                html += "</li>";
            }
            html += "</ol>";
        }
        html += "</details></td></tr>\n";
    }

    void foot(std::string& html) override
    {
        html += "</table></div>\n<script>" + std::string(kTableScript) + "</script>\n";
        html += "<form class=\"delete\" method=\"post\" action=\"" + escapeHtml(outline().header.scanId) +
                "/delete\"><label><input type=\"checkbox\" name=\"confirm\" value=\"yes\" required> "
                "Delete this report and the facts its scan sent, for good</label>"
                "<button type=\"submit\">Delete report</button></form>\n";
        html += pageFoot();
    }

    const std::optional<FileStatus> only_;
    std::map<std::int64_t, std::string> newFilePaths_;
    std::size_t newFilePathBytes_ = 0;
};

// An object of string members, in the order given.
void appendJsonObject(std::string& json,
                      std::initializer_list<std::pair<std::string_view, std::string_view>> members)
{
    json += "{";
    for (const auto& [name, text] : members) {
        json += json.back() == '{' ? "" : ",";
        appendJsonString(json, name);
        json += ":";
        appendJsonString(json, text);
    }
    json += "}";
}

void appendJsonStrings(std::string& json, const std::vector<std::string>& texts)
{
    json += "[";
    for (std::size_t k = 0; k < texts.size(); ++k) {
        json += k ? "," : "";
        appendJsonString(json, texts[k]);
    }
    json += "]";
}

// The change since the previous scan; the previous scan's id only while it
// is kept, as a report's id is the key to it.
void appendJsonChange(std::string& json, const std::optional<ScanChange>& change)
{
    if (!change) {
        json += "null";
        return;
    }
    json += "{\"digestChanged\":[";
    for (const DigestChange& d : change->digestChanged) {
        json += json.back() == '[' ? "" : ",";
        appendJsonObject(json, {{"after", d.after}, {"before", d.before}, {"path", d.path}});
    }
    json += "],\"gone\":";
    appendJsonStrings(json, change->gone);
    json += ",\"newFiles\":[";
    for (std::size_t k = 0; k < change->newFiles.size(); ++k)
        json += (k ? "," : "") + std::to_string(change->newFiles[k]);
    json += "],\"newPorts\":";
    appendJsonStrings(json, change->newPorts);
    json += ",\"newStartup\":";
    appendJsonStrings(json, change->newStartup);
    if (change->previousKept) {
        json += ",\"previousScanId\":";
        appendJsonString(json, change->previousScanId);
    }
    json += ",\"previousSubmittedAt\":";
    appendJsonString(json, change->previousSubmittedAt);
    json += ",\"started\":";
    appendJsonStrings(json, change->started);
    json += "}";
}

// The machine's ClientId links the scans of one machine; a report's id is
// the only key to it, so the exports leave it out.
Values exportedScanValues(Values values)
{
    values.erase("ClientId");
    return values;
}

// Keys in name order, as a JSON object's reader may expect them sorted.
class JsonReport final : public PagedReport {
public:
    using PagedReport::PagedReport;

private:
    std::string_view whileCounting() const override { return "\n"; }

    void head(std::string& json) override
    {
        const ScanOutline& scan = outline();
        json += "{\"change\":";
        appendJsonChange(json, scan.change);
        json += ",\n\"clientIp\":";
        appendJsonString(json, scan.header.clientIp);
        json += ",\n\"scan\":";
        appendJsonValues(json, exportedScanValues(scan.scanValues));
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
        // Values of the corroborating clients that differ from "file".
        json += written_++ ? ",\n{\"differing\":" : "\n{\"differing\":";
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
        json += r.isNew ? "],\"new\":true" : "],\"new\":false";
        json += r.file && r.file->own ? ",\"ownFacts\":true" : ",\"ownFacts\":false";
        json += ",\"path\":";
        appendJsonString(json, r.fullPath());
        json += ",\"position\":" + std::to_string(r.position);
        json += r.isProcess() ? ",\"process\":true" : ",\"process\":false";
        json += ",\"processStatus\":";
        json += r.isProcess() ? "\"" + std::string(statusSlug(r.processStatus)) + "\"" : std::string("null");
        json += r.rare() ? ",\"rare\":true" : ",\"rare\":false";
        json += ",\"sets\":[";
        for (const SetMatch& match : r.file ? r.file->sets : std::vector<SetMatch>{}) {
            json += json.back() == '[' ? "" : ",";
            appendJsonObject(json, {{"kind", match.bad ? "bad" : "good"},
                                    {"name", match.name},
                                    {"product", match.product},
                                    {"set", match.set}});
        }
        json += "],\"status\":\"" + std::string(statusSlug(r.status)) + "\"";
        json += ",\"values\":";
        appendJsonValues(json, r.record->process.values);
        json += "}";
    }

    void foot(std::string& json) override
    {
        const Summary& counts = summary();
        json += "\n],\n\"summary\":{\"processes\":" + std::to_string(counts.processes) +
                ",\"records\":" + std::to_string(counts.records) + ",\"statuses\":{";
        for (FileStatus status : kStatusesInRank) {
            json += rankOf(status) ? ",\"" : "\"";
            json += std::string(statusSlug(status)) +
                    "\":{\"files\":" + std::to_string(counts.files[rankOf(status)]) +
                    ",\"processes\":" + std::to_string(counts.processesByStatus[rankOf(status)]) + "}";
        }
        json += "},\"unknownFiles\":" + std::to_string(counts.unknownFiles) + "}}\n";
    }

    std::size_t written_ = 0;
};

// "good: set (product, name)" of every set match, "; " between them.
std::string setsCell(const StoredFile* file)
{
    std::string text;
    for (const SetMatch& match : file ? file->sets : std::vector<SetMatch>{})
        text += (text.empty() ? "" : "; ") + std::string(match.bad ? "bad: " : "good: ") + setText(match);
    return text;
}

// New columns go at the end, so that a reader of the older columns keeps
// finding them where they were.
class CsvReport final : public PagedReport {
public:
    using PagedReport::PagedReport;

private:
    void head(std::string& csv) override
    {
        csv += "position,pid,parent_pid,image,path,generalised_path,company,product,description,version,md5,sha1,"
               "size,known,startup_method,network_usage,network_ports,memory_usage,modules,machines,machines_in_all,"
               "first_seen,rare,status,process_status,new,sets\r\n";
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
            r.firstSeen(),                    r.rare() ? "rare" : "",
            std::string(statusSlug(r.status)),
            r.isProcess() ? std::string(statusSlug(r.processStatus)) : "",
            r.isNew ? "new" : "",             setsCell(r.file)};
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
                                         PageRequest pages, std::optional<FileStatus> only)
{
    switch (format) {
    case ReportFormat::Page:
        return std::make_unique<PageReport>(store, std::move(outline), pages, only);
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
