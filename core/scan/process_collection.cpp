#include "core/scan/process_collection.h"

#include <vector>

#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/base/text_format.h"
#include "core/extractors/file_system.h"
#include "core/extractors/info_extractor.h"
#include "core/extractors/path_operations.h"
#include "core/scan/process_system.h"

namespace zorvane {

void enumerateProcesses(ProcessSystem& system, PathOperations& paths, PathSet& pathSet,
                        ProcessesByImage& processesByImage)
{
    const auto processIds = system.enumProcesses(kMaxProcessIds);
    if (!processIds)
        return;
    for (const std::uint32_t processId : *processIds) {
        const auto process = system.openProcess(processId);
        if (!process)
            continue;
        auto modules = process->enumProcessModules(kMaxModules);
        if (!modules)
            continue;
        if (modules->size() > kMaxModules)
            modules->resize(kMaxModules);

        std::u16string imagePath;
        std::u16string moduleList;
        bool first = true;
        for (const ModuleHandle module : *modules) {
            auto name = process->moduleFileName(module, kModuleNameCapacity);
            if (!name)
                continue;
            paths.normalisePath(*name);
            pathSet.insert(*name);
            if (first) {
                imagePath = std::move(*name);
                first = false;
                continue;
            }
            if (!moduleList.empty())
                moduleList += u',';
            moduleList += *name;
        }
        processesByImage[imagePath].push_back({processId, std::move(moduleList)});
    }
}

std::u16string makeOpenPath(std::u16string_view path)
{
    constexpr std::u16string_view kLongPrefix = u"\\\\?\\";
    if (path.starts_with(kLongPrefix))
        return std::u16string(path);
    // Built once at its final length: this runs for every file of a scan.
    const bool network = path.starts_with(u"\\\\");
    std::u16string openPath;
    openPath.reserve(kLongPrefix.size() + 2 + path.size());
    openPath += kLongPrefix;
    if (network) {
        openPath += u"UNC";
        openPath += path.substr(1);
    } else {
        openPath += path;
    }
    return openPath;
}

void readImageFile(const ImageEventTargets& targets, FileSystem& files, const std::u16string& path,
                   ImageBlock& block)
{
    for (InfoExtractor* extractor : targets.fileExtractors)
        extractor->extract(path);

    const auto file = files.openForScan(makeOpenPath(path));
    if (!file)
        return;
    const auto information = file->information();
    if (!information || (information->attributes & kFileAttributeDirectory) != 0)
        return;

    targets.handleExtractor.extractFromHandle(*file);
    for (InfoExtractor* consumer : targets.imageConsumers)
        consumer->onImageBegin();
    for (;;) {
        const auto count = file->read(block.data(), kImageBlockSize);
        if (!count || *count == 0)
            break;
        for (InfoExtractor* consumer : targets.imageConsumers)
            consumer->onImageData(block.data(), *count);
    }
    for (InfoExtractor* consumer : targets.imageConsumers)
        consumer->onImageEnd();
}

void deriveStartupMethod(ProcessRecord& record)
{
    const std::u16string location = record[keys::kRegLocation];
    const std::u16string startup = record[keys::kWmiStartupLocation];
    const std::u16string parent = record[keys::kWmiParentProcessId];
    // Whole strings assigned: GCC 12 warns falsely (-Wrestrict) about a
    // literal assigned to a record value here.
    if (location.find(u"SYSTEM\\CurrentControlSet\\Services\\") != std::u16string::npos)
        record[keys::kRefStartupMethod] = std::u16string(u"2");
    else if (!startup.empty())
        record[keys::kRefStartupMethod] = std::u16string(u"3");
    else if (!parent.empty())
        record[keys::kRefStartupMethod] = std::u16string(u"1");
}

void deriveNetworkUsage(ProcessRecord& record)
{
    const std::u16string ports = record[keys::kNetNetworkPorts];
    const auto holds = [&ports](std::u16string_view addressClass) {
        return ports.find(addressClass) != std::u16string::npos;
    };
    if (holds(u"INTERNET") || holds(u"DEFAULT"))
        record[keys::kRefNetworkUsage] = std::u16string(u"2");
    else if (holds(u"BROADCAST") || holds(u"ETHERNET") || holds(u"LOOPBACK"))
        record[keys::kRefNetworkUsage] = std::u16string(u"1");
}

void deriveMemoryUsage(ProcessRecord& record, double totalVisibleMemory)
{
    const std::u16string workingSet = record[keys::kWmiWorkingSetSize];
    if (totalVisibleMemory == 0 || workingSet.empty())
        return;
    // 64-bit: a working set of 2 GiB or more must not saturate.
    const double bytes = static_cast<double>(parseDecimalInt64(workingSet));
    const double share = (bytes / 1024) / totalVisibleMemory;
    std::u16string text = formatText(u"%4.6f", {share});
    if (!text.empty())
        record[keys::kRefMemoryUsage] = std::move(text);
}

}  // namespace zorvane
