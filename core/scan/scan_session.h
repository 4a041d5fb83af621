#pragma once
// One scan: the seven extractors, the records, and the three phases that
// fill them (scan-wide facts, enumeration, one step per file), with their
// progress on the progress page.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "core/base/record.h"
#include "core/extractors/handle_info.h"
#include "core/extractors/hash_extractor.h"
#include "core/extractors/network_info.h"
#include "core/extractors/path_info.h"
#include "core/extractors/registry_info.h"
#include "core/extractors/version_info.h"
#include "core/extractors/wmi_info.h"
#include "core/scan/process_collection.h"
#include "core/scan/scan_services.h"

namespace zorvane {

class ProgressView;

// The phases that runScanPhases drives.
class ScanPhases {
public:
    // False when the scan-wide facts cannot be collected; the scan ends.
    virtual bool collectSystemInfo() = 0;
    // The number of files to scan.
    virtual std::size_t enumerateTargets() = 0;
    // True when a file was scanned and more may follow; false once the scan
    // has finished.
    virtual bool scanNextFile() = 0;

protected:
    ~ScanPhases() = default;
};

// Runs the phases with their effects on the progress page: status
// kInitialisationFailed when the scan-wide phase fails; otherwise range 0..n
// and status kScanningProcesses, then one step per file step (n + 1 for n
// files, the last one finishing). The cancel flag is polled before every
// step; a step that would pass the maximum sets it. True when the scan
// completed, false when it failed or was cancelled.
bool runScanPhases(ScanPhases& phases, ProgressView& view);

class ScanSession final : public ScanPhases {
public:
    // Builds the extractors (the registry extractor reads its tables here),
    // takes the start tick and enables the debug, backup and restore
    // privileges, whose failure is ignored. `services` must outlive the session.
    explicit ScanSession(const ScanServices& services);

    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    bool runScanPhases();

    bool collectSystemInfo() override;
    std::size_t enumerateTargets() override;
    // Stops at the end of the path set, or when the record limit is
    // reached at the start of a step; then finishes the scan.
    bool scanNextFile() override;
    // Reference values for every record; "ScanningTime" and
    // "MaxClientMemUsage" in the scan record.
    void finishScan();

    std::vector<ProcessRecord>& processList() { return processList_; }
    ProcessRecord& scanRecord() { return scanRecord_; }
    const ProcessesByImage& processesByImage() const { return processesByImage_; }
    const PathSet& pathSet() const { return pathSet_; }
    double totalVisibleMemory() const { return totalVisibleMemory_; }

    // The event lists, in the order each gets its events.
    std::span<InfoExtractor* const> processHandlers() const { return processHandlers_; }
    std::span<InfoExtractor* const> imageConsumers() const { return imageConsumers_; }
    std::span<InfoExtractor* const> fileExtractors() const { return fileExtractors_; }
    std::span<InfoExtractor* const> allExtractors() const { return allExtractors_; }

private:
    void bindAll(ProcessRecord* record);

    ScanServices services_;

    std::vector<ProcessRecord> processList_;
    ProcessRecord scanRecord_;
    ProcessesByImage processesByImage_;
    PathSet pathSet_;
    PathSet::const_iterator pathCursor_;
    std::uint32_t startTick_ = 0;

    HandleInfoExtractor handleInfo_;
    HashExtractor hash_;
    NetworkInfoExtractor network_;
    PathInfoExtractor pathInfo_;
    RegistryInfoExtractor registry_;
    VersionInfoExtractor version_;
    WMIInfoExtractor wmi_;

    std::array<InfoExtractor*, 2> processHandlers_{};
    std::array<InfoExtractor*, 1> imageConsumers_{};
    std::array<InfoExtractor*, 4> fileExtractors_{};
    std::array<InfoExtractor*, 7> allExtractors_{};

    double totalVisibleMemory_ = 0;
    // On the heap: the session itself lives on the worker's stack.
    std::unique_ptr<ImageBlock> imageBlock_ = std::make_unique<ImageBlock>();
};

// Hands a completed scan's process list and scan record to the server
// exchange. The result (whether the exchange succeeded) is the exchange's own
// business; the worker does not use it.
using ScanResultsHandler = std::function<bool(std::vector<ProcessRecord>&, ProcessRecord&)>;

// The worker thread's body: status kPreparing and headline kAnalyzing, the bar reset, the
// progress page shown; then the session is built and run, and a completed
// scan is handed to `exchange` with the progress page shown again.
void runScanWorker(const ScanServices& services, const ScanResultsHandler& exchange);

}  // namespace zorvane
