#include "service/change.h"

#include <algorithm>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

namespace zorvane::service {

namespace {

std::string foldedCase(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Texts by their case-folded form, each shown as first met.
using Folded = std::map<std::string, std::string>;

void add(Folded& into, const std::string& text)
{
    if (!text.empty())
        into.emplace(foldedCase(text), text);
}

// The texts of `after` that `before` lacks, in folded order.
std::vector<std::string> added(const Folded& before, const Folded& after)
{
    std::vector<std::string> out;
    for (const auto& [key, shown] : after) {
        if (!before.contains(key))
            out.push_back(shown);
    }
    return out;
}

struct ScanView {
    Folded processes;
    Folded startup;
    Folded ports;
    // A path's first digest, by folded path; the path as shown first.
    std::map<std::string, std::pair<std::string, std::string>> digests;
};

ScanView viewOf(const std::vector<RecordFacts>& records)
{
    ScanView view;
    for (const RecordFacts& r : records) {
        if (r.process)
            add(view.processes, r.path);
        add(view.startup, r.startupEntry);
        if (!r.md5.empty() && !r.path.empty())
            view.digests.emplace(foldedCase(r.path), std::make_pair(r.path, r.md5));
        std::string_view ports = r.ports;
        while (r.process && !ports.empty()) {
            std::size_t comma = ports.find(',');
            std::string_view item = ports.substr(0, comma);
            if (!item.empty())
                add(view.ports, r.path + " " + std::string(item));
            ports = comma == std::string_view::npos ? std::string_view() : ports.substr(comma + 1);
        }
    }
    return view;
}

std::vector<std::string> stringsOf(const nlohmann::json& json, const char* key)
{
    std::vector<std::string> out;
    auto it = json.find(key);
    if (it == json.end() || !it->is_array())
        return out;
    for (const auto& item : *it) {
        if (item.is_string())
            out.push_back(item.get<std::string>());
    }
    return out;
}

}  // namespace

bool ScanChange::isNewFile(std::int64_t fileId) const
{
    return std::binary_search(newFiles.begin(), newFiles.end(), fileId);
}

ScanChange compareScans(const std::vector<RecordFacts>& before, const std::vector<RecordFacts>& after)
{
    const ScanView was = viewOf(before);
    const ScanView now = viewOf(after);
    ScanChange change;
    change.started = added(was.processes, now.processes);
    change.gone = added(now.processes, was.processes);
    change.newStartup = added(was.startup, now.startup);
    change.newPorts = added(was.ports, now.ports);
    for (const auto& [key, pathAndDigest] : now.digests) {
        auto it = was.digests.find(key);
        if (it != was.digests.end() && it->second.second != pathAndDigest.second)
            change.digestChanged.push_back({pathAndDigest.first, it->second.second, pathAndDigest.second});
    }
    return change;
}

std::string changeToJson(const ScanChange& change)
{
    nlohmann::json json;
    json["previousScanId"] = change.previousScanId;
    json["previousSubmittedAt"] = change.previousSubmittedAt;
    json["started"] = change.started;
    json["gone"] = change.gone;
    json["newFiles"] = change.newFiles;
    json["newStartup"] = change.newStartup;
    json["newPorts"] = change.newPorts;
    auto& digests = json["digestChanged"] = nlohmann::json::array();
    for (const DigestChange& d : change.digestChanged)
        digests.push_back({{"path", d.path}, {"before", d.before}, {"after", d.after}});
    // Stored values came from a client: never let a stray byte fail the write.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<ScanChange> changeFromJson(std::string_view text)
{
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("previousScanId") ||
        !json["previousScanId"].is_string())
        return std::nullopt;
    ScanChange change;
    change.previousScanId = json["previousScanId"].get<std::string>();
    if (json.contains("previousSubmittedAt") && json["previousSubmittedAt"].is_string())
        change.previousSubmittedAt = json["previousSubmittedAt"].get<std::string>();
    change.started = stringsOf(json, "started");
    change.gone = stringsOf(json, "gone");
    change.newStartup = stringsOf(json, "newStartup");
    change.newPorts = stringsOf(json, "newPorts");
    if (auto it = json.find("newFiles"); it != json.end() && it->is_array()) {
        for (const auto& id : *it) {
            if (id.is_number_integer())
                change.newFiles.push_back(id.get<std::int64_t>());
        }
    }
    std::sort(change.newFiles.begin(), change.newFiles.end());
    if (auto it = json.find("digestChanged"); it != json.end() && it->is_array()) {
        for (const auto& d : *it) {
            if (d.is_object() && d.value("path", nlohmann::json()).is_string())
                change.digestChanged.push_back(
                    {d["path"].get<std::string>(), d.value("before", std::string()), d.value("after", std::string())});
        }
    }
    return change;
}

}  // namespace zorvane::service
