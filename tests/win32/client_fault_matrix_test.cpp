// The client's exchange against a misbehaving service: the real WinINet
// transport and exchangeWithServer, in this process, against the recording
// server's scripted faults. Every case must end in the send-failure status
// (kSendFailed) or in a harmless success, without crashing, hanging or opening
// anything.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "client/exchange/wininet_transport.h"
#include "client/gui/browser.h"
#include "core/base/clock.h"
#include "core/base/run_settings.h"
#include "core/base/string_ids.h"
#include "core/exchange/exchange_driver.h"
#include "core/progress/progress.h"
#include "fault_support.h"
#include "recording_server.h"
#include "support.h"
#include "tests/fakes/fake_frame_notifier.h"

using namespace zorvane;
using namespace zorvane::testing;

namespace {

// A hang is a failure of its own: the exchange runs on a thread that gets
// this long (WinINet's own timeouts are far shorter).
constexpr DWORD kHangMs = 120000;

class StateOnlyProgressView : public ProgressView {
public:
    ProgressState& state() override { return state_; }
    void showProgressPage() override {}
    void setProgressPageVisible(bool visible) override { hidden = !visible; }

    bool hidden = false;

private:
    void showRange(std::int32_t) override {}
    void showPosition(std::int32_t) override {}
    void showStep() override {}
    void repaint() override {}

    ProgressState state_;
};

class NoWaitClock : public Clock {
public:
    std::uint32_t tickCount() override { return GetTickCount(); }
    std::uint64_t systemTimeAsFileTime() override { return 0; }
    void sleep(std::uint32_t) override {}
};

// Records what the driver asks for and hands it to the real opener.
class OpeningFrame : public FakeFrameNotifier {
public:
    void openAddress(const std::u16string& address) override
    {
        FakeFrameNotifier::openAddress(address);
        client::openAddress(address);
    }
};

enum class Outcome { fails104, harmlessSuccess };

struct FaultCase {
    const char* name;
    std::vector<std::string> script;  // recording-server lines for this channel
    Outcome outcome;
    // Requests the server must see: the initialise one, or both.
    std::size_t minRequests;
    std::size_t maxRequests;
    bool deadPort = false;
};

std::string reply(int status, std::string_view body) { return std::to_string(status) + " " + RecordingServer::hex(body); }

const std::string kInitialise = reply(200, "42|7,-9|2026-12-08|127.0.0.1");

std::vector<FaultCase> faultCases()
{
    const std::string results = "http://127.0.0.1/results/42";
    const std::string recorder = narrowPath(launchRecorderPath());
    std::string forwardSlashes = recorder;
    for (char& c : forwardSlashes)
        if (c == '\\')
            c = '/';
    return {
        {"server down", {}, Outcome::fails104, 0, 0, true},
        {"initialise 404", {reply(404, "not here")}, Outcome::fails104, 1, 1},
        {"initialise 500", {reply(500, "broken")}, Outcome::fails104, 1, 1},
        {"submit 404", {kInitialise, reply(404, results)}, Outcome::fails104, 2, 2},
        {"submit 500", {kInitialise, reply(500, results)}, Outcome::fails104, 2, 2},
        // WinINet may try a reused connection once more on a fresh one.
        {"submit refused", {kInitialise, "refuse", "refuse"}, Outcome::fails104, 2, 3},
        {"initialise refused", {"refuse", "refuse"}, Outcome::fails104, 1, 2},
        // Cut where the rest would still parse, or still look like an address.
        {"initialise reset mid-body",
         {"reset 200 " + RecordingServer::hex("42|7,-9|2026-12-08|127.0.0.1") + " 24"},
         Outcome::fails104, 1, 1},
        {"submit reset mid-body", {kInitialise, "reset 200 " + RecordingServer::hex(results) + " 20"},
         Outcome::fails104, 2, 2},
        {"submit closed mid-body", {kInitialise, "cut 200 " + RecordingServer::hex(results) + " 20"},
         Outcome::fails104, 2, 2},
        {"initialise 10 MB", {"large 200 10485760"}, Outcome::fails104, 1, 1},
        {"submit 10 MB", {kInitialise, "large 200 10485760"}, Outcome::fails104, 2, 2},
        {"wrong static id count", {reply(200, "42|7,-9,11|2026-12-08|127.0.0.1")}, Outcome::fails104, 1, 1},
        {"static ids missing", {reply(200, "42|7|2026-12-08|127.0.0.1")}, Outcome::fails104, 1, 1},
        {"CR/LF in the scan id", {reply(200, "42\r\nX-Injected: 1|7,-9|2026-12-08|127.0.0.1")}, Outcome::fails104, 1, 1},
        {"LF in the scan id", {reply(200, "42\nGET /x|7,-9|2026-12-08|127.0.0.1")}, Outcome::fails104, 1, 1},
        {"results address: local path", {kInitialise, reply(200, recorder)}, Outcome::harmlessSuccess, 2, 2},
        {"results address: file URL", {kInitialise, reply(200, "file:///" + forwardSlashes)},
         Outcome::harmlessSuccess, 2, 2},
        {"results address: UNC path", {kInitialise, reply(200, "\\\\127.0.0.1\\share\\launch_recorder.exe")},
         Outcome::harmlessSuccess, 2, 2},
        {"results address: device path", {kInitialise, reply(200, "\\\\?\\" + recorder)}, Outcome::harmlessSuccess, 2,
         2},
        {"results address: 5000 characters",
         {kInitialise, reply(200, "http://127.0.0.1/" + std::string(5000 - 17, 'a'))}, Outcome::harmlessSuccess, 2, 2},
    };
}

struct ExchangeRun {
    const ExchangeServices* services;
    std::vector<ProcessRecord>* processes;
    ProcessRecord* scan;
    bool result = false;
};

DWORD WINAPI runExchange(LPVOID parameter)
{
    auto* run = static_cast<ExchangeRun*>(parameter);
    run->result = exchangeWithServer(*run->processes, *run->scan, *run->services);
    return 0;
}

// The process's private bytes now (Wine keeps no reliable peak of its own).
std::size_t privateBytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? counters.PagefileUsage : 0;
}

}  // namespace

TEST(ClientFaultMatrix, EveryFaultEndsInSendFailedOrAHarmlessSuccess)
{
    auto server = RecordingServer::attach();
    ASSERT_TRUE(server) << "the recording server of the ctest fixture is not running";
    const auto deadPort = unusedLoopbackPort();
    ASSERT_TRUE(deadPort);
    const std::wstring marker = launchRecorderMarker(L"fault-matrix");

    for (const FaultCase& fault : faultCases()) {
        SCOPED_TRACE(fault.name);
        // A channel of its own, so the request log is this case's alone.
        auto channel = RecordingServer::attach();
        ASSERT_TRUE(channel);
        for (const std::string& line : fault.script)
            ASSERT_TRUE(channel->scriptLine(line)) << line;

        const std::string prefix = channel->prefix().substr(1);
        RunSettings settings;
        settings.host = u"127.0.0.1";
        settings.port = fault.deadPort ? *deadPort : channel->port();
        settings.initialisePath = std::u16string(prefix.begin(), prefix.end()) + u"corvelle/initialisescan";
        settings.submitPathTemplate = std::u16string(prefix.begin(), prefix.end()) + u"corvelle/%s/submitscan";

        std::vector<ProcessRecord> processes(2);
        processes[0]["hash.md5"] = u"00112233445566778899aabbccddeeff";
        processes[0]["path.pathFull"] = u"C:\\windows\\system32\\rpcss.exe";
        processes[1]["path.pathFull"] = u"C:\\windows\\explorer.exe";
        ProcessRecord scan;
        const auto transport = client::makeWinInetTransport();
        StateOnlyProgressView view;
        OpeningFrame frame;
        NoWaitClock clock;
        const ExchangeServices services{*transport, view, frame, clock, settings};

        // The private bytes are sampled while the exchange runs.
        const std::size_t before = privateBytes();
        std::size_t peak = before;
        const DWORD start = GetTickCount();
        ExchangeRun run{&services, &processes, &scan};
        win32::UniqueHandle thread(CreateThread(nullptr, 0, runExchange, &run, 0, nullptr));
        ASSERT_TRUE(thread);
        while (WaitForSingleObject(thread.get(), 5) == WAIT_TIMEOUT) {
            peak = std::max(peak, privateBytes());
            if (GetTickCount() - start > kHangMs) {
                ADD_FAILURE() << "the exchange hangs";
                std::fflush(stdout);
                TerminateProcess(GetCurrentProcess(), 3);
            }
        }
        const DWORD elapsed = GetTickCount() - start;
        const std::size_t peakGrowth = peak - before;
        std::printf("fault case \"%s\": %s in %lu ms, peak private bytes +%zu KiB\n", fault.name,
                    run.result ? "success" : "failure", static_cast<unsigned long>(elapsed), peakGrowth / 1024);

        if (fault.outcome == Outcome::fails104) {
            EXPECT_FALSE(run.result);
            EXPECT_EQ(view.state().statusTextId, text::kSendFailed);
            EXPECT_FALSE(view.hidden);
            EXPECT_EQ(frame.scanCompletePosts, 0);
        } else {
            EXPECT_TRUE(run.result);
            EXPECT_EQ(frame.scanCompletePosts, 1);
        }
        EXPECT_TRUE(frame.openedAddresses.empty()) << "nothing here is a web address to open";
        EXPECT_EQ(frame.storedAddress, u"") << "nor an address for the result page";
        EXPECT_LT(peakGrowth, std::size_t{8} << 20) << "the reply is not kept whole";

        const auto requests = channel->requests();
        ASSERT_TRUE(requests);
        EXPECT_GE(requests->size(), fault.minRequests);
        EXPECT_LE(requests->size(), fault.maxRequests);
        for (std::size_t i = 1; i < requests->size(); ++i)
            EXPECT_EQ((*requests)[i].target, channel->prefix() + "corvelle/42/submitscan")
                << "only the submit follows the initialise";
    }

    Sleep(1000);  // anything the shell might have started has run by now
    EXPECT_FALSE(launchRecorded(marker)) << "a results address made the shell start a program";
}

TEST(ClientFaultMatrix, TheLaunchRecorderNoticesBeingStarted)
{
    // The check above is only as good as its detector: the shell, asked
    // directly, does start the recorder, and the marker shows it.
    const std::wstring marker = launchRecorderMarker(L"recorder-check");
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", launchRecorderPath().c_str(), nullptr, nullptr, SW_SHOW));
    ASSERT_GT(result, 32);
    const DWORD start = GetTickCount();
    while (!launchRecorded(marker) && GetTickCount() - start < 30000)
        Sleep(100);
    EXPECT_TRUE(launchRecorded(marker));
    DeleteFileW(marker.c_str());
}
