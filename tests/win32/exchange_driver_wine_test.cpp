// The whole exchange over WinINet against the loopback recording server,
// with a scan's records and targets in the form the run settings give them.
#include <gtest/gtest.h>

#include "client/exchange/wininet_transport.h"
#include "core/base/clock.h"
#include "core/base/run_settings.h"
#include "core/exchange/exchange_driver.h"
#include "core/progress/progress.h"
#include "protocol/field_text.h"
#include "protocol/form_fields.h"
#include "recording_server.h"
#include "tests/fakes/fake_frame_notifier.h"

using namespace zorvane;
using namespace zorvane::testing;

namespace {

class QuietProgressView : public ProgressView {
public:
    ProgressState& state() override { return state_; }
    void showProgressPage() override {}
    void setProgressPageVisible(bool visible) override { hidden = !visible; }

    std::vector<std::uint32_t> positions;
    bool hidden = false;

private:
    void showRange(std::int32_t) override {}
    void showPosition(std::int32_t position) override { positions.push_back(static_cast<std::uint32_t>(position)); }
    void showStep() override {}
    void repaint() override {}

    ProgressState state_;
};

class NoWaitClock : public Clock {
public:
    std::uint32_t tickCount() override { return 0; }
    std::uint64_t systemTimeAsFileTime() override { return 0; }
    void sleep(std::uint32_t) override {}
};

}  // namespace

TEST(ExchangeOverWinInet, SendsBothRequestsAndHandsOnTheResultsAddress)
{
    auto server = RecordingServer::attach();
    ASSERT_TRUE(server) << "the recording server of the ctest fixture is not running";
    const std::string channel = server->prefix().substr(1);  // targets without a leading "/"
    RunSettings settings;
    settings.host = u"127.0.0.1";
    settings.port = server->port();
    settings.initialisePath = std::u16string(channel.begin(), channel.end()) + u"corvelle/initialisescan";
    settings.submitPathTemplate = std::u16string(channel.begin(), channel.end()) + u"corvelle/%s/submitscan";

    std::vector<ProcessRecord> processes(2);
    processes[0]["hash.md5"] = u"00112233445566778899aabbccddeeff";
    processes[0]["path.pathFull"] = u"C:\\windows\\system32\\rpcss.exe";
    processes[0]["path.path"] = u"C:\\Windows\\System32\\";
    processes[1]["path.pathFull"] = u"C:\\windows\\explorer.exe";
    processes[1]["moduleList"] = u"C:\\windows\\system32\\rpcss.exe";
    ProcessRecord scan;

    ASSERT_TRUE(server->script(200, "42|7,-9|2026-12-08|127.0.0.1"));
    ASSERT_TRUE(server->script(200, "http://127.0.0.1/results/42"));
    const auto transport = client::makeWinInetTransport();
    QuietProgressView view;
    FakeFrameNotifier frame;
    NoWaitClock clock;
    ASSERT_TRUE(exchangeWithServer(processes, scan, {*transport, view, frame, clock, settings}));

    EXPECT_EQ(frame.storedAddress, u"http://127.0.0.1/results/42");
    EXPECT_EQ(frame.openedAddresses.size(), 1u);
    EXPECT_EQ(frame.scanCompletePosts, 1);
    EXPECT_TRUE(view.hidden);

    const auto requests = server->requests();
    ASSERT_TRUE(requests);
    ASSERT_EQ(requests->size(), 2u);
    EXPECT_EQ((*requests)[0].target, server->prefix() + "corvelle/initialisescan");
    EXPECT_EQ((*requests)[1].target, server->prefix() + "corvelle/42/submitscan");
    EXPECT_EQ((*requests)[0].connection, (*requests)[1].connection);

    const auto initialise = protocol::parseBody((*requests)[0].body);
    ASSERT_TRUE(initialise);
    EXPECT_EQ(protocol::decodeField(initialise->at("md5s"), false, 1024)->size(), 32u);

    const auto submit = protocol::parseBody((*requests)[1].body);
    ASSERT_TRUE(submit);
    EXPECT_EQ(submit->at("scan_id"), "42");
    EXPECT_EQ(submit->at("static_ids"), "9");
    const auto dynamicText = protocol::decodeField(submit->at("input_dynamic"), true, 1 << 20);
    ASSERT_TRUE(dynamicText);
    const auto lines = protocol::splitText(*dynamicText, '\n');
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(protocol::splitText(lines[0], '\t').at(8), "%(3)ssystem32\\\\") << "path.path, abbreviated, backslash doubled";
    EXPECT_EQ(protocol::splitText(lines[1], '\t').at(19), "7") << "the module list names the static id";
    EXPECT_EQ(view.positions.back(), (*requests)[1].body.size());
}
