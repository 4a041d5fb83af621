// Cancel pressed at each phase of a whole scan (the worker body with the real
// exchange driver over fakes): the scan stops cleanly, and nothing is read,
// sent or opened after the moment of the cancel.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/base/run_settings.h"
#include "core/base/string_ids.h"
#include "core/exchange/exchange_driver.h"
#include "core/extractors/path_operations.h"
#include "core/scan/scan_session.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_file_system.h"
#include "tests/fakes/fake_frame_notifier.h"
#include "tests/fakes/fake_http_transport.h"
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

namespace {

struct CancelRig : fakes::ScanFakes {
    zorvane::testing::FakeHttpTransport transport;
    zorvane::testing::FakeFrameNotifier frame;
    fakes::FakeClock exchangeClock;

    // What had happened when Cancel was pressed.
    bool pressed = false;
    int fileOpensAtCancel = 0;
    std::size_t transportCallsAtCancel = 0;
    int exchanges = 0;

    CancelRig()
    {
        // Three files; the second is large enough for several read blocks.
        processes.processes = {
            {1, {u"C:\\app\\a.exe", u"C:\\app\\b.dll"}},
            {2, {u"C:\\app\\c.exe", u"C:\\app\\b.dll"}},
        };
        files.add(u"C:\\app\\a.exe", FakeFile::ofSize(100));
        files.add(u"C:\\app\\b.dll", FakeFile::ofSize(200000));
        files.add(u"C:\\app\\c.exe", FakeFile::ofSize(300));
        // Modules with long names that do not compress, so that the submit
        // body takes several chunks: one record each.
        std::uint32_t seed = 12345;
        for (int module = 0; module < kExtraModules; ++module) {
            std::u16string name = u"C:\\app\\";
            for (int i = 0; i < 150; ++i) {
                seed = seed * 1103515245u + 12345u;
                name.push_back(static_cast<char16_t>(u'a' + (seed >> 16) % 26));
            }
            processes.processes[0].modules.push_back(name + u".dll");
        }
        // A service that would accept everything: one unknown static id per
        // record, then an address.
        std::string ids;
        for (int record = 1; record <= 3 + kExtraModules; ++record)
            ids += (record > 1 ? ",-" : "-") + std::to_string(record);
        transport.replies = {{u"200", "42|" + ids + "|t|127.0.0.1"}, {u"200", "http://service.test/r/42"}};
    }

    static constexpr int kExtraModules = 8;

    int fileOpens() const
    {
        int total = 0;
        for (const auto& [path, count] : files.opens)
            total += count;
        return total;
    }

    void pressCancel()
    {
        if (pressed)
            return;
        pressed = true;
        progress.state().cancel = true;
        fileOpensAtCancel = fileOpens();
        transportCallsAtCancel = transport.calls.size();
    }

    void run()
    {
        runScanWorker(services(), [&](std::vector<ProcessRecord>& list, ProcessRecord& scan) {
            ++exchanges;
            return exchangeWithServer(list, scan, {transport, progress, frame, exchangeClock, settings});
        });
    }

    // Transport calls after the cancel that put anything on the wire (the
    // call in progress when Cancel was pressed is not among them).
    std::vector<std::string> sendingCallsAfterCancel() const
    {
        std::vector<std::string> sending;
        for (std::size_t i = transportCallsAtCancel; i < transport.calls.size(); ++i) {
            const std::string& call = transport.calls[i];
            for (const char* kind : {"openSession", "connect", "openRequest", "addRequestHeader", "sendRequest",
                                     "write", "endRequest"})
                if (call.rfind(kind, 0) == 0)
                    sending.push_back(call);
        }
        return sending;
    }
};

struct CancelPoint {
    const char* phase;
    std::function<void(CancelRig&)> arm;
    bool exchangeRuns;           // whether the worker still hands the scan over
    std::size_t requestsOpened;  // requests begun, all before the cancel
};

std::vector<CancelPoint> cancelPoints()
{
    return {
        {"scan-wide collection (first WMI query)",
         [](CancelRig& rig) { rig.wmi.onQuery = [&rig](const std::u16string&) { rig.pressCancel(); }; }, false, 0},
        {"enumeration", [](CancelRig& rig) { rig.processes.onEnumerate = [&rig] { rig.pressCancel(); }; }, false, 0},
        {"per-file loop (second file)",
         [](CancelRig& rig) {
             rig.files.onOpen = [&rig](const std::u16string&) {
                 if (rig.fileOpens() == 2)
                     rig.pressCancel();
             };
         },
         false, 0},
        {"initialise (waiting for the reply)",
         [](CancelRig& rig) {
             rig.transport.onCall = [&rig](const std::string& call) {
                 if (call == "endRequest")
                     rig.pressCancel();
             };
         },
         true, 1},
        {"submit (second chunk of the body)",
         [](CancelRig& rig) {
             rig.transport.onCall = [&rig](const std::string& call) {
                 if (rig.transport.requests.size() == 2 && call.rfind("write", 0) == 0 &&
                     rig.transport.requests[1].writeSizes.size() == 1)
                     rig.pressCancel();
             };
         },
         true, 2},
        {"submit (waiting for the reply)",
         [](CancelRig& rig) {
             rig.transport.onCall = [&rig](const std::string& call) {
                 if (rig.transport.requests.size() == 2 && call == "endRequest")
                     rig.pressCancel();
             };
         },
         true, 2},
        {"pause before opening the results",
         [](CancelRig& rig) { rig.exchangeClock.onSleep = [&rig](std::uint32_t) { rig.pressCancel(); }; }, true, 2},
    };
}

}  // namespace

TEST(CancelAtEachPhase, StopsCleanlyAndNothingFollowsTheCancel)
{
    for (const CancelPoint& point : cancelPoints()) {
        SCOPED_TRACE(point.phase);
        CancelRig rig;
        point.arm(rig);
        rig.run();

        ASSERT_TRUE(rig.pressed) << "the scan never reached this phase";
        EXPECT_EQ(rig.exchanges, point.exchangeRuns ? 1 : 0);
        EXPECT_EQ(rig.fileOpens(), rig.fileOpensAtCancel) << "no file is opened after the cancel";
        EXPECT_EQ(rig.sendingCallsAfterCancel(), std::vector<std::string>{})
            << "the transport is only closed after the cancel";
        EXPECT_EQ(rig.transport.requests.size(), point.requestsOpened);
        EXPECT_TRUE(rig.frame.openedAddresses.empty());
        EXPECT_EQ(rig.frame.storedAddress, u"");
        EXPECT_EQ(rig.frame.scanCompletePosts, 0);
        EXPECT_EQ(rig.transport.sessionsOpen + rig.transport.connectionsOpen + rig.transport.requestsOpen, 0)
            << "every handle is closed";
        EXPECT_EQ(rig.files.openHandles, 0);
        EXPECT_EQ(rig.processes.openHandles, 0);
    }
}

TEST(CancelAtEachPhase, ASubmitCutShortIsAbandonedNotFinished)
{
    CancelRig rig;
    cancelPoints()[4].arm(rig);
    rig.run();
    ASSERT_EQ(rig.transport.requests.size(), 2u);
    const auto& submit = rig.transport.requests[1];
    EXPECT_EQ(submit.writeSizes.size(), 2u) << "the write under way when Cancel came, and no more";
    EXPECT_LT(submit.body.size(), submit.announcedLength) << "the service sees a short body, never a whole one";
    EXPECT_EQ(rig.transport.count("endRequest"), 1u) << "only the initialise request was ended";
    EXPECT_EQ(rig.progress.state().statusTextId, text::kSendFailed);
}
