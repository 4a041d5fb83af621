#include "core/extractors/registry_info.h"

#include <algorithm>

#include "core/base/conversions.h"
#include "core/base/text_format.h"
#include "core/base/trace.h"

namespace zorvane {

namespace {

constexpr std::u16string_view kImagePath = u"ImagePath";
constexpr std::u16string_view kLocation = u"Location";

}  // namespace

std::u16string formatSystemError(std::int32_t status, std::u16string_view systemMessage)
{
    std::u16string text = formatText(u"Error Number: %05u\r\n", {static_cast<std::uint32_t>(status)});
    if (text.size() > 31)
        text.resize(31);
    text += systemMessage;
    return text;
}

std::optional<std::u16string> registryText(const RegistryValue& value)
{
    if (value.type != kRegSz && value.type != kRegExpandSz && value.type != kRegMultiSz)
        return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
        const auto unit = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return text;
}

RegistryInfoExtractor::RegistryInfoExtractor(RegistryReader& registry, PathOperations& paths)
    : InfoExtractor("reg"), registry_(registry), paths_(paths)
{
    const Job classes{RegistryRoot::ClassesRoot, u"CLSID\\??\\InprocServer32", 1, Kind::ReadValues, nullptr,
                      &classValueNames_};
    const Job approved{RegistryRoot::LocalMachine,
                       u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved",
                       1,
                       Kind::FollowValueNames,
                       &classes,
                       nullptr};
    const Job services{RegistryRoot::LocalMachine, u"SYSTEM\\CurrentControlSet\\Services", 2, Kind::ReadValues,
                       nullptr, &serviceValueNames_};
    for (const RegistryView view : registry_.redirectedViews()) {
        Job inView = approved;
        inView.view = view;
        walkRegistryJob(inView);
    }
    walkRegistryJob(services);
    buildFileIndex();
}

bool RegistryInfoExtractor::checkStatus(std::int32_t status)
{
    if (status == 0)
        return true;
    traceDiagnostic(formatSystemError(status, registry_.systemMessage(status)));
    return false;
}

std::unique_ptr<RegistryKey> RegistryInfoExtractor::openKey(RegistryRoot root, const std::u16string& path,
                                                             RegistryView view)
{
    std::int32_t status = 0;
    auto key = registry_.open(root, path, view, status);
    if (!key)
        checkStatus(status);
    return key;
}

void RegistryInfoExtractor::walkRegistryJob(const Job& job)
{
    const auto key = openKey(job.root, job.path, job.view);
    if (!key)
        return;
    std::uint32_t subkeyCount = 0;
    std::uint32_t valueCount = 0;
    if (!checkStatus(key->queryInfo(subkeyCount, valueCount)))
        return;
    if (job.depth <= 1) {
        if (job.kind == Kind::ReadValues)
            readItemValues(*key, *job.valueNames, job.path);
        else
            followValueNames(*key, valueCount, *job.next, job.view);
        return;
    }
    for (std::uint32_t index = 0; index < subkeyCount; ++index) {
        std::u16string name;
        if (!checkStatus(key->enumerateSubkey(index, name)))
            continue;
        Job child = job;
        child.path += u'\\';
        child.path += name;
        child.depth = job.depth - 1;
        walkRegistryJob(child);
    }
}

void RegistryInfoExtractor::followValueNames(RegistryKey& key, std::uint32_t valueCount, const Job& next,
                                             RegistryView view)
{
    const auto first = next.path.find(u'?');
    const auto last = next.path.rfind(u'?');
    for (std::uint32_t index = 0; index < valueCount; ++index) {
        std::u16string name;
        if (!checkStatus(key.enumerateValue(index, name)))
            continue;
        std::u16string itemPath = next.path;
        if (first != std::u16string::npos)
            itemPath = next.path.substr(0, first) + name + next.path.substr(last + 1);
        if (const auto itemKey = openKey(next.root, itemPath, view))
            readItemValues(*itemKey, *next.valueNames, itemPath);
    }
}

void RegistryInfoExtractor::readItemValues(RegistryKey& key, const ValueNames& names,
                                           const std::u16string& location)
{
    Item item;
    bool resolved = false;
    for (const auto& [name, namesFile] : names) {
        RegistryValue value;
        if (!checkStatus(key.queryValue(name, value)))
            continue;
        auto text = registryText(value);
        if (!text) {
            traceDiagnostic(formatText(u"Registry value \"%s\" under %s is not text (type %u); left out.",
                                       {name, location, value.type}));
            continue;
        }
        if (!namesFile) {
            item[name] = std::move(*text);
            continue;
        }
        if (text->find(u'\\') == std::u16string::npos || !paths_.resolveCommandFile(*text))
            continue;
        item[name.empty() ? std::u16string(kImagePath) : name] = std::move(*text);
        resolved = true;
    }
    if (item.empty() || !resolved)
        return;
    item[std::u16string(kLocation)] = location;
    if (std::find(pendingItems_.begin(), pendingItems_.end(), item) == pendingItems_.end())
        pendingItems_.push_back(std::move(item));
}

void RegistryInfoExtractor::buildFileIndex()
{
    for (const Item& item : pendingItems_) {
        Item& entry = fileIndex_[item.at(std::u16string(kImagePath))];
        for (const auto& [name, value] : item) {
            if (name == kImagePath)
                continue;
            std::u16string& joined = entry[name];
            if (value.empty())
                continue;
            if (!joined.empty())
                joined += u';';
            joined += value;
        }
    }
    pendingItems_.clear();
}

void RegistryInfoExtractor::extract(const std::u16string& path)
{
    const auto found = fileIndex_.find(path);
    if (found == fileIndex_.end())
        return;
    for (const auto& [name, text] : found->second)
        setProperty(narrowLatin1(name), text);
}

}  // namespace zorvane
