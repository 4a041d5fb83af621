// zorvane.exe itself, unattended (/skipfast, /limit=1 for a short scan),
// against the recording server when a reply trickles, is held back or is no
// web address, and the user cancels or closes: the program ends with code
// 0, sends nothing after the cancel and starts nothing. The times from the
// click to the end of the program are printed, never asserted.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>

#include "client/resources/resource.h"
#include "fault_support.h"
#include "recording_server.h"
#include "support.h"

using namespace zorvane::testing;

namespace {

constexpr DWORD kStartMs = 30000;
// Reaching the exchange takes a whole (short) scan under Wine.
constexpr DWORD kExchangeMs = 120000;
// A hang guard only: the program must end, and ends in about 7 s.
constexpr DWORD kEndMs = 60000;


std::wstring widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// One unattended run of zorvane.exe against a channel of the recording
// server; the program is ended if a test fails before it does.
struct UnattendedRun {
    std::optional<RecordingServer> server = RecordingServer::attach();
    RunningProgram program;
    HWND frame = nullptr;

    ~UnattendedRun() { stopProgram(program); }

    std::string initialiseTarget() const { return server->prefix() + "corvelle/initialisescan"; }
    std::string submitTarget() const { return server->prefix() + "corvelle/42/submitscan"; }

    bool start(bool browser)
    {
        if (!server)
            return false;
        const std::wstring prefix = widen(server->prefix().substr(1));
        std::wstring arguments = L"/skipfast /limit=1 /host=127.0.0.1 /port=" + std::to_wstring(server->port()) +
                                 L" /md5path=" + prefix + L"corvelle/initialisescan /path=" + prefix +
                                 L"corvelle/%s/submitscan";
        if (!browser)
            arguments += L" /nobrowser";
        auto started = startProgram(zorvaneExe(), arguments);
        if (!started)
            return false;
        program = std::move(*started);
        frame = waitForWindow(program.processId, L"#32770", L"Zorvane", kStartMs);
        return frame != nullptr;
    }

    // Waits until the server has seen `count` requests.
    bool requestsReach(std::size_t count) const
    {
        return waitFor(
            [&] {
                const auto requests = server->requests();
                return requests && requests->size() >= count;
            },
            kExchangeMs);
    }

    std::vector<std::string> targets() const
    {
        std::vector<std::string> seen;
        if (const auto requests = server->requests())
            for (const auto& request : *requests)
                seen.push_back(request.target);
        return seen;
    }

    // Presses Cancel on the progress page (or sends the close box's
    // WM_CLOSE) and returns the exit code and the milliseconds to it.
    std::pair<std::optional<DWORD>, DWORD> endBy(bool cancelButton) const
    {
        const DWORD start = GetTickCount();
        if (cancelButton) {
            DWORD_PTR result = 0;
            SendMessageTimeoutW(GetDlgItem(pageWith(frame, IDC_PROGRESS_BAR), IDC_PROGRESS_CANCEL), BM_CLICK, 0, 0,
                                SMTO_ABORTIFHUNG, 10000, &result);
        } else {
            PostMessageW(frame, WM_CLOSE, 0, 0);
        }
        const auto code = waitForExit(program, kEndMs);
        return {code, GetTickCount() - start};
    }
};

}  // namespace

TEST(ClientFaultProgram, CancelWhileTheInitialiseReplyTricklesEndsTheProgram)
{
    UnattendedRun run;
    ASSERT_TRUE(run.server) << "the recording server of the ctest fixture is not running";
    // One byte a second of a valid reply: about a minute to arrive in full.
    ASSERT_TRUE(run.server->scriptLine("trickle 200 " +
                                       RecordingServer::hex("42|-1|2026-12-08 12:00:00|127.0.0.1" +
                                                            std::string(30, ' '))));
    ASSERT_TRUE(run.server->script(200, "http://127.0.0.1/results/42"));
    ASSERT_TRUE(run.start(false));
    ASSERT_TRUE(run.requestsReach(1)) << "the scan reaches the exchange";
    Sleep(2500);  // a few bytes are in

    const auto [code, elapsed] = run.endBy(true);
    std::printf("cancel during a trickling initialise reply: program ended %lu ms after Cancel\n",
                static_cast<unsigned long>(elapsed));
    EXPECT_EQ(code, std::optional<DWORD>(0));
    EXPECT_EQ(run.targets(), std::vector<std::string>{run.initialiseTarget()}) << "no submit after the cancel";
}

TEST(ClientFaultProgram, ClosingDuringAHeldSubmitEndsTheWorkerAfterTheWait)
{
    UnattendedRun run;
    ASSERT_TRUE(run.server) << "the recording server of the ctest fixture is not running";
    ASSERT_TRUE(run.server->scriptLine("initialise 42"));
    ASSERT_TRUE(run.server->scriptLine("hold 120"));
    ASSERT_TRUE(run.start(false));
    ASSERT_TRUE(run.requestsReach(2)) << "the scan reaches the submit";
    Sleep(1000);

    const auto [code, elapsed] = run.endBy(false);
    std::printf("close box during a held submit: program ended %lu ms after WM_CLOSE\n",
                static_cast<unsigned long>(elapsed));
    EXPECT_EQ(code, std::optional<DWORD>(0));
    EXPECT_EQ(run.targets(), (std::vector<std::string>{run.initialiseTarget(), run.submitTarget()}));
}

TEST(ClientFaultProgram, CancelOrCloseDuringASlowInitialiseSendsNoSubmit)
{
    // The reply comes 4 s after the request, well within the frame's 7 s
    // wait for the worker: a worker that did not learn of the close would go
    // on and upload the scan.
    for (const bool pressCancel : {true, false}) {
        const char* const how = pressCancel ? "Cancel" : "the close box";
        UnattendedRun run;
        ASSERT_TRUE(run.server) << "the recording server of the ctest fixture is not running";
        ASSERT_TRUE(run.server->scriptLine("initialise 42 4"));
        ASSERT_TRUE(run.server->script(200, "http://127.0.0.1/results/42"));
        ASSERT_TRUE(run.start(false));
        ASSERT_TRUE(run.requestsReach(1)) << "the scan reaches the exchange";

        const auto [code, elapsed] = run.endBy(pressCancel);
        std::printf("%s during a 4 s initialise: program ended %lu ms after it\n", how,
                    static_cast<unsigned long>(elapsed));
        EXPECT_EQ(code, std::optional<DWORD>(0)) << how;
        Sleep(1000);
        EXPECT_EQ(run.targets(), std::vector<std::string>{run.initialiseTarget()}) << how;
    }
}

TEST(ClientFaultProgram, ALocalPathAsTheResultsAddressIsNotOpened)
{
    const std::wstring marker = launchRecorderMarker(L"fault-program");
    UnattendedRun run;
    ASSERT_TRUE(run.server) << "the recording server of the ctest fixture is not running";
    ASSERT_TRUE(run.server->scriptLine("initialise 42"));
    ASSERT_TRUE(run.server->script(200, narrowPath(launchRecorderPath())));
    ASSERT_TRUE(run.start(true));
    // A harmless success: /skipfast closes the program after it.
    EXPECT_EQ(waitForExit(run.program, kExchangeMs + kEndMs), std::optional<DWORD>(0));
    EXPECT_EQ(run.targets(), (std::vector<std::string>{run.initialiseTarget(), run.submitTarget()}));
    Sleep(1000);
    EXPECT_FALSE(launchRecorded(marker)) << "the results address was handed to the shell";
}
