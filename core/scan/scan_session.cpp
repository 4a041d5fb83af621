#include "core/scan/scan_session.h"

#include <algorithm>
#include <limits>

#include "core/base/clock.h"
#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/base/run_settings.h"
#include "core/base/string_ids.h"
#include "core/extractors/path_operations.h"
#include "core/progress/progress.h"
#include "core/scan/process_system.h"

namespace zorvane {

bool runScanPhases(ScanPhases& phases, ProgressView& view)
{
    ProgressState& state = view.state();
    if (!phases.collectSystemInfo()) {
        view.setStatus(text::kInitialisationFailed);
        return false;
    }

    const std::size_t files = phases.enumerateTargets();
    const std::int32_t maximum =
        static_cast<std::int32_t>(std::min<std::size_t>(files, std::numeric_limits<std::int32_t>::max()));
    if (state.position <= maximum) {
        view.setRange(maximum);
    }
    view.setStatus(text::kScanningProcesses);

    for (;;) {
        if (state.cancel)
            return false;
        const bool more = phases.scanNextFile();
        if (!state.cancel) {
            if (state.position > state.maximum) {
                state.cancel = true;
            } else {
                view.step();
            }
        }
        if (!more)
            return true;
    }
}

ScanSession::ScanSession(const ScanServices& services)
    : services_(services),
      pathCursor_(pathSet_.end()),
      network_(services.network),
      pathInfo_(services.paths),
      registry_(services.registry, services.paths),
      version_(services.versions),
      wmi_(services.wmi, services.paths, services.clock)
{
    startTick_ = services_.clock.tickCount();

    // Without these privileges, processes and files that need them are
    // skipped later; that is all.
    for (const char16_t* privilege : {u"SeDebugPrivilege", u"SeBackupPrivilege", u"SeRestorePrivilege"})
        services_.privileges.enablePrivilege(privilege);

    imageConsumers_ = {&hash_};
    fileExtractors_ = {&pathInfo_, &version_, &registry_, &wmi_};
    processHandlers_ = {&network_, &wmi_};
    allExtractors_ = {&handleInfo_, &hash_, &pathInfo_, &network_, &registry_, &version_, &wmi_};
}

bool ScanSession::runScanPhases() { return zorvane::runScanPhases(*this, services_.progress); }

bool ScanSession::collectSystemInfo()
{
    const bool ok = wmi_.collectScanWide();
    network_.collectSocketTable();
    if (!ok)
        return false;
    for (const auto& [name, value] : wmi_.scanWideTable())
        scanRecord_[narrowLatin1(name)] = value;
    const std::u16string* visible = scanRecord_.find(keys::kTotalVisibleMemorySize);
    totalVisibleMemory_ = visible ? static_cast<double>(parseDecimalInt64(*visible)) : 0;
    return true;
}

std::size_t ScanSession::enumerateTargets()
{
    enumerateProcesses(services_.processes, services_.paths, pathSet_, processesByImage_);
    for (std::u16string path : wmi_.extraFiles()) {
        services_.paths.normalisePath(path);
        // The empty path stands for processes without a readable module name.
        if (!path.empty())
            pathSet_.insert(std::move(path));
    }
    pathCursor_ = pathSet_.begin();
    processList_.clear();
    return pathSet_.size();
}

bool ScanSession::scanNextFile()
{
    const std::int32_t limit = services_.settings.recordLimit;
    if ((limit >= 0 && processList_.size() >= static_cast<std::size_t>(limit)) || pathCursor_ == pathSet_.end()) {
        finishScan();
        return false;
    }
    // The path set does not change during a step.
    const std::u16string& path = *pathCursor_;

    ProcessRecord working;
    bindAll(&working);
    readImageFile({fileExtractors_, handleInfo_, imageConsumers_}, services_.files, path, *imageBlock_);

    // The working record is not needed after this step: the last of its
    // records takes it over instead of a copy, which is most records of a
    // scan (a library that no process runs as its image).
    const auto entries = processesByImage_.find(path);
    if (entries == processesByImage_.end() || entries->second.empty()) {
        processList_.push_back(std::move(working));
    } else {
        const ProcessEntry& last = entries->second.back();
        for (const ProcessEntry& entry : entries->second) {
            ProcessRecord record = &entry == &last ? std::move(working) : ProcessRecord(working);
            record.insertIfAbsent(keys::kModuleList, entry.moduleList);
            for (InfoExtractor* handler : processHandlers_) {
                handler->bind(&record);
                handler->onProcess(entry.processId);
            }
            processList_.push_back(std::move(record));
        }
    }
    bindAll(nullptr);
    ++pathCursor_;
    return true;
}

void ScanSession::finishScan()
{
    for (ProcessRecord& record : processList_) {
        deriveStartupMethod(record);
        deriveNetworkUsage(record);
        deriveMemoryUsage(record, totalVisibleMemory_);
    }
    const std::uint32_t elapsed = services_.clock.tickCount() - startTick_;
    scanRecord_[keys::kScanningTime] = formatInt64(elapsed);
    scanRecord_[keys::kMaxClientMemUsage] = formatInt64(wmi_.ownPeakWorkingSetSize());
}

void ScanSession::bindAll(ProcessRecord* record)
{
    for (InfoExtractor* extractor : allExtractors_)
        extractor->bind(record);
}

void runScanWorker(const ScanServices& services, const ScanResultsHandler& exchange)
{
    ProgressView& view = services.progress;
    view.setStatus(text::kPreparing);
    view.setHeadline(text::kAnalyzing);
    const std::int32_t position = std::min<std::int32_t>(0, view.state().maximum);
    view.setPosition(position);
    view.showProgressPage();

    ScanSession session(services);
    if (session.runScanPhases()) {
        view.setProgressPageVisible(true);
        exchange(session.processList(), session.scanRecord());
    }
}

}  // namespace zorvane
