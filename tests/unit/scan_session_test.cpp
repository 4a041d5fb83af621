// The scan session and the worker body over fakes: phases, progress, the
// record limit, cancel, and which records a scan produces.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/base/conversions.h"
#include "core/base/keys.h"
#include "core/base/run_settings.h"
#include "core/base/string_ids.h"
#include "core/extractors/path_operations.h"
#include "core/scan/scan_session.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_file_system.h"
#include "tests/fakes/fake_network_system.h"
#include "tests/fakes/fake_path_system.h"
#include "tests/fakes/fake_process_system.h"
#include "tests/fakes/fake_progress_view.h"
#include "tests/fakes/fake_registry_reader.h"
#include "tests/fakes/fake_version_resources.h"
#include "tests/fakes/fake_wmi_query.h"
#include "tests/fakes/scan_fakes.h"

using namespace zorvane;
using fakes::FakeFile;
using fakes::FakeProgressView;
using Kind = FakeProgressView::Kind;
using Event = FakeProgressView::Event;

namespace {

// Every service a session reaches, staged.
struct SessionRig : fakes::ScanFakes {
    // Processes 1 and 2 run one.exe, process 3 runs two.exe; both images
    // load shared.dll.
    void stageTwoImagesAndASharedDll()
    {
        processes.processes = {
            {1, {u"C:\\app\\one.exe", u"C:\\app\\shared.dll"}},
            {2, {u"C:\\app\\one.exe", u"C:\\app\\shared.dll", u"C:\\app\\extra.dll"}},
            {3, {u"C:\\app\\two.exe", u"C:\\app\\shared.dll"}},
        };
        files.add(u"C:\\app\\one.exe", FakeFile::ofSize(100));
        files.add(u"C:\\app\\two.exe", FakeFile::ofSize(200));
        files.add(u"C:\\app\\shared.dll", FakeFile::ofSize(70000));
        files.add(u"C:\\app\\extra.dll", FakeFile::ofSize(0));
    }
};

std::u16string valueOf(const ProcessRecord& record, std::string_view key)
{
    const std::u16string* value = record.find(key);
    return value ? *value : u"<absent>";
}

// Phases scripted by the test: how many files, and how many steps say "more".
struct ScriptedPhases : ScanPhases {
    bool systemInfoOk = true;
    std::size_t files = 0;
    int stepsWithMore = 0;
    std::function<void()> onStep;
    int enumerations = 0;
    int steps = 0;

    bool collectSystemInfo() override { return systemInfoOk; }
    std::size_t enumerateTargets() override
    {
        ++enumerations;
        return files;
    }
    bool scanNextFile() override
    {
        ++steps;
        if (onStep)
            onStep();
        return steps <= stepsWithMore;
    }
};

std::vector<std::string> extractorNames(std::span<InfoExtractor* const> list)
{
    std::vector<std::string> names;
    for (const InfoExtractor* extractor : list)
        names.push_back(extractor->name());
    return names;
}

}  // namespace

TEST(ScanSession, ExtractorListsHaveTheFixedEventOrder)
{
    SessionRig rig;
    ScanSession session(rig.services());
    using Names = std::vector<std::string>;
    EXPECT_EQ(extractorNames(session.fileExtractors()), (Names{"path", "ver", "reg", "wmi"}));
    EXPECT_EQ(extractorNames(session.imageConsumers()), (Names{"hash"}));
    EXPECT_EQ(extractorNames(session.processHandlers()), (Names{"net", "wmi"}));
    EXPECT_EQ(extractorNames(session.allExtractors()), (Names{"handle", "hash", "path", "net", "reg", "ver", "wmi"}));
}

TEST(ScanSession, EachFileIsReadOnceAndEachProcessGetsItsOwnRecord)
{
    SessionRig rig;
    rig.stageTwoImagesAndASharedDll();
    rig.privileges.grants = false;
    ScanSession session(rig.services());
    EXPECT_EQ(rig.privileges.requested,
              (std::vector<std::u16string>{u"SeDebugPrivilege", u"SeBackupPrivilege", u"SeRestorePrivilege"}));
    ASSERT_TRUE(session.runScanPhases()) << "refused privileges are no reason to stop";

    for (const auto* path : {u"C:\\app\\one.exe", u"C:\\app\\two.exe", u"C:\\app\\shared.dll", u"C:\\app\\extra.dll"})
        EXPECT_EQ(rig.files.opensOf(path), 1) << narrowLatin1(path);
    EXPECT_EQ(rig.files.openHandles, 0);
    EXPECT_EQ(rig.processes.openHandles, 0);

    // Path order: extra.dll, one.exe (processes 1 and 2), shared.dll, two.exe (process 3).
    const auto& list = session.processList();
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(valueOf(list[0], keys::kHandleFileSize), u"0");
    EXPECT_FALSE(list[0].contains(keys::kModuleList));

    // Two processes of one image share the file facts, each with its own module list.
    EXPECT_EQ(valueOf(list[1], keys::kHandleFileSize), u"100");
    EXPECT_EQ(valueOf(list[2], keys::kHandleFileSize), u"100");
    EXPECT_EQ(valueOf(list[1], keys::kModuleList), u"C:\\app\\shared.dll");
    EXPECT_EQ(valueOf(list[2], keys::kModuleList), u"C:\\app\\shared.dll,C:\\app\\extra.dll");

    // The DLL that no process has as its image: one record, no module list.
    EXPECT_EQ(valueOf(list[3], keys::kHandleFileSize), u"70000");
    EXPECT_FALSE(list[3].contains(keys::kModuleList));

    EXPECT_EQ(valueOf(list[4], keys::kHandleFileSize), u"200");
    EXPECT_EQ(valueOf(list[4], keys::kModuleList), u"C:\\app\\shared.dll");
}

TEST(ScanSession, RecordLimitIsTestedAtTheStartOfEachStepAndTimingsAreWritten)
{
    // Limit 2: extra.dll gives one record, one.exe two more; then the limit holds.
    for (const auto& [limit, records] : {std::pair{0, 0u}, std::pair{2, 3u}}) {
        SessionRig rig;
        rig.stageTwoImagesAndASharedDll();
        rig.settings.recordLimit = limit;
        rig.clock.tick = 0xFFFFFF00u;  // the difference wraps like GetTickCount's
        ScanSession session(rig.services());
        rig.clock.tick = 0x100;
        ASSERT_TRUE(session.runScanPhases());

        EXPECT_EQ(session.processList().size(), records) << limit;
        EXPECT_EQ(rig.files.opensOf(u"C:\\app\\shared.dll"), 0);
        EXPECT_EQ(valueOf(session.scanRecord(), keys::kScanningTime), u"512");
        EXPECT_EQ(valueOf(session.scanRecord(), keys::kMaxClientMemUsage), u"-1");
    }
}

TEST(ScanSession, NFilesGiveRangeNAndNPlusOneSteps)
{
    SessionRig rig;
    rig.stageTwoImagesAndASharedDll();
    ScanSession session(rig.services());
    ASSERT_TRUE(session.runScanPhases());

    ASSERT_GE(rig.progress.events.size(), 1u);
    EXPECT_EQ(rig.progress.events[0], (Event{Kind::Range, 4}));
    EXPECT_EQ(rig.progress.of(Kind::Step).size(), 5u);
    EXPECT_EQ(rig.progress.state().position, 5);
    EXPECT_FALSE(rig.progress.state().cancel);
    EXPECT_EQ(rig.progress.state().statusTextId, text::kScanningProcesses);
}

TEST(ScanSession, CancelDuringEnumerationStopsBeforeTheFirstFileAndNothingIsSent)
{
    SessionRig rig;
    rig.stageTwoImagesAndASharedDll();
    rig.progress.onBar = [&](const Event& event) {
        if (event.kind == Kind::Range)
            rig.progress.state().cancel = true;
    };
    bool sent = false;
    runScanWorker(rig.services(), [&](std::vector<ProcessRecord>&, ProcessRecord&) { return sent = true; });
    EXPECT_FALSE(sent);
    EXPECT_TRUE(rig.files.opens.empty());
    EXPECT_TRUE(rig.progress.of(Kind::Step).empty());
}

TEST(ScanPhasesProgress, FailingScanWidePhaseShowsInitialisationFailedAndGoesNoFurther)
{
    FakeProgressView view;
    ScriptedPhases phases;
    phases.systemInfoOk = false;
    EXPECT_FALSE(runScanPhases(phases, view));
    EXPECT_EQ(phases.enumerations, 0);
    EXPECT_EQ(phases.steps, 0);
    EXPECT_EQ(view.events, (std::vector<Event>{{Kind::Repaint, 0, text::kInitialisationFailed, 0}}));
}

TEST(ScanPhasesProgress, StepsPastTheMaximumCancelButACancelInTheFinalStepDoesNot)
{
    FakeProgressView runaway;
    ScriptedPhases endless;
    endless.files = 1;
    endless.stepsWithMore = 100;
    EXPECT_FALSE(runScanPhases(endless, runaway));
    // Positions 0 -> 1 -> 2 are stepped; the third step finds 2 > 1 and cancels.
    EXPECT_EQ(endless.steps, 3);
    EXPECT_EQ(runaway.of(Kind::Step).size(), 2u);
    EXPECT_TRUE(runaway.state().cancel);

    FakeProgressView view;
    ScriptedPhases phases;
    phases.files = 2;
    phases.stepsWithMore = 2;
    phases.onStep = [&] {
        if (phases.steps == 3)
            view.state().cancel = true;
    };
    EXPECT_TRUE(runScanPhases(phases, view));
    EXPECT_EQ(view.of(Kind::Step).size(), 2u);
}

TEST(ScanWorker, ShowsTheProgressPageScansAndHandsTheResultsToTheExchange)
{
    SessionRig rig;
    rig.stageTwoImagesAndASharedDll();
    rig.progress.state().maximum = 7;
    rig.progress.state().position = 7;
    int exchanges = 0;
    runScanWorker(rig.services(), [&](std::vector<ProcessRecord>& list, ProcessRecord& scanRecord) {
        ++exchanges;
        EXPECT_EQ(list.size(), 5u);
        EXPECT_TRUE(scanRecord.contains(keys::kScanningTime));
        EXPECT_EQ(rig.progress.events.back(), (Event{Kind::SetVisible, 1, text::kScanningProcesses,
                                                     text::kAnalyzing}));
        return true;
    });
    EXPECT_EQ(exchanges, 1);

    const std::vector<Event> start(rig.progress.events.begin(), rig.progress.events.begin() + 4);
    EXPECT_EQ(start, (std::vector<Event>{
                         {Kind::Repaint, 0, text::kPreparing, 0},
                         {Kind::Repaint, 0, text::kPreparing, text::kAnalyzing},
                         {Kind::Position, 0, text::kPreparing, text::kAnalyzing},
                         {Kind::ShowProgressPage, 0, text::kPreparing, text::kAnalyzing},
                     }));
}
