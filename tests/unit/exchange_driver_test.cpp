// exchangeWithServer with a scripted service, a recording progress page and
// frame, and a clock that does not wait.
#include <gtest/gtest.h>

#include "core/base/clock.h"
#include "core/base/run_settings.h"
#include "core/base/string_ids.h"
#include "core/exchange/exchange_driver.h"
#include "core/progress/progress.h"
#include "protocol_wire_decoding.h"
#include "tests/fakes/fake_frame_notifier.h"
#include "tests/fakes/fake_http_transport.h"

using namespace zorvane;
using namespace zorvane::testing;

namespace {

std::string repaintEvent(int status, int headline)
{
    return "repaint " + std::to_string(status) + "/" + std::to_string(headline);
}

class RecordingProgressView : public ProgressView {
public:
    explicit RecordingProgressView(std::vector<std::string>& events) : events_(events) {}
    ProgressState& state() override { return state_; }
    void showProgressPage() override { events_.push_back("show page"); }
    void setProgressPageVisible(bool visible) override { events_.push_back(visible ? "show" : "hide"); }

private:
    void showRange(std::int32_t maximum) override { events_.push_back("range 0.." + std::to_string(maximum)); }
    void showPosition(std::int32_t position) override { events_.push_back("pos " + std::to_string(position)); }
    void showStep() override { events_.push_back("step"); }
    void repaint() override
    {
        events_.push_back(repaintEvent(state_.statusTextId, state_.headlineTextId));
    }

    ProgressState state_;
    std::vector<std::string>& events_;
};

class RecordingClock : public Clock {
public:
    explicit RecordingClock(std::vector<std::string>& events) : events_(events) {}
    std::uint32_t tickCount() override { return 0; }
    std::uint64_t systemTimeAsFileTime() override { return 0; }
    void sleep(std::uint32_t milliseconds) override { events_.push_back("sleep " + std::to_string(milliseconds)); }

private:
    std::vector<std::string>& events_;
};

class ExchangeDriver : public ::testing::Test {
protected:
    ExchangeDriver()
    {
        settings.host = u"service.test";
        settings.port = 8080;
        processes.resize(2);
        processes[0]["hash.md5"] = u"00112233445566778899aabbccddeeff";
        processes[0]["path.pathFull"] = u"c:\\a.exe";
        processes[1]["path.pathFull"] = u"c:\\b.exe";
        processes[1]["moduleList"] = u"c:\\a.exe";
    }

    bool run() { return exchangeWithServer(processes, scan, services); }

    std::vector<std::string> events;
    RunSettings settings;
    FakeHttpTransport transport;
    RecordingProgressView view{events};
    FakeFrameNotifier frame{&events};
    RecordingClock clock{events};
    ExchangeServices services{transport, view, frame, clock, settings};
    std::vector<ProcessRecord> processes;
    ProcessRecord scan;
};

}  // namespace

TEST_F(ExchangeDriver, RunsBothExchangesAndOpensTheResultsInOrder)
{
    transport.replies = {{u"200", "42|7,-9|t|127.0.0.1"}, {u"200", "http://service.test/r/42"}};
    ASSERT_TRUE(run());

    ASSERT_EQ(transport.requests.size(), 2u);
    EXPECT_EQ(transport.requests[0].target, u"corvelle/initialisescan");
    EXPECT_EQ(transport.requests[1].target, u"corvelle/42/submitscan");
    EXPECT_EQ(transport.count("openSession"), 1u);
    EXPECT_EQ(transport.sessionsOpen + transport.connectionsOpen + transport.requestsOpen, 0);

    const std::string& initialise = transport.requests[0].body;
    ASSERT_EQ(initialise.rfind("md5s=", 0), 0u);
    EXPECT_EQ(decodeBase64UrlForTest(initialise.substr(5)).size(), 32u) << "not compressed";
    const auto submit = splitBodyForTest(transport.requests[1].body);
    ASSERT_EQ(submit.size(), 5u);
    EXPECT_EQ(submit[3], (std::pair<std::string, std::string>{"scan_id", "42"}));
    EXPECT_EQ(submit[4], (std::pair<std::string, std::string>{"static_ids", "9"}));
    const std::string dynamicText = inflateForTest(decodeBase64UrlForTest(submit[1].second));
    EXPECT_EQ(splitForTest(dynamicText, '\n').size(), 2u);

    const std::string total = std::to_string(transport.requests[1].body.size());
    EXPECT_EQ(events,
              (std::vector<std::string>{"pos 0", repaintEvent(text::kCommunicating, 0),
                                        repaintEvent(text::kCommunicating, text::kGettingResults), "range 0.." + total,
                                        "pos 0", "pos " + total, repaintEvent(text::kServerProcessing, text::kGettingResults),
                                        repaintEvent(text::kOpeningResults, text::kGettingResults), "sleep 3000",
                                        "storeResultsAddress http://service.test/r/42",
                                        "openAddress http://service.test/r/42", "hide", "postScanComplete"}));
    EXPECT_EQ(view.state().position, std::stoi(total));
    EXPECT_EQ(view.state().maximum, std::stoi(total));
}

TEST_F(ExchangeDriver, WithoutTheBrowserNothingIsOpenedAndNoPauseIsMade)
{
    settings.openBrowser = false;
    transport.replies = {{u"200", "1|1,2|t|a"}, {u"200", "http://x/"}};
    ASSERT_TRUE(run());
    for (const auto& event : events) {
        EXPECT_NE(event, repaintEvent(text::kOpeningResults, text::kGettingResults));
        EXPECT_NE(event.rfind("sleep", 0), 0u);
    }
    EXPECT_EQ(frame.storedAddress, u"");
    EXPECT_TRUE(frame.openedAddresses.empty());
    EXPECT_EQ(frame.scanCompletePosts, 1);
    EXPECT_EQ(events.back(), "postScanComplete");
}

TEST_F(ExchangeDriver, ASubmitFailureShowsSendFailedAndNoResultPage)
{
    transport.replies = {{u"200", "1|1,2|t|a"}, {u"500", "http://x/"}};
    EXPECT_FALSE(run());
    EXPECT_EQ(events.back(), repaintEvent(text::kSendFailed, text::kGettingResults));
    EXPECT_EQ(frame.scanCompletePosts, 0);
    EXPECT_TRUE(frame.openedAddresses.empty());
    EXPECT_EQ(transport.sessionsOpen + transport.connectionsOpen + transport.requestsOpen, 0);
}

TEST_F(ExchangeDriver, AWrongStaticIdCountNeverSendsTheSubmitRequest)
{
    transport.replies = {{u"200", "1|1,2,3|t|a"}, {u"200", "http://x/"}};
    EXPECT_FALSE(run());
    EXPECT_EQ(transport.requests.size(), 1u);
    EXPECT_EQ(events.back(), repaintEvent(text::kSendFailed, text::kGettingResults));
    EXPECT_EQ(scan["scanId"], u"1");
}

TEST_F(ExchangeDriver, AScanWithoutRecordsIsSentAndReported)
{
    processes.clear();
    transport.replies = {{u"200", "1||t|a"}, {u"200", "http://x/"}};
    EXPECT_TRUE(run());
    ASSERT_EQ(transport.requests.size(), 2u);
    EXPECT_EQ(transport.requests[0].body, "md5s=");
    EXPECT_EQ(frame.storedAddress, u"http://x/");
}

TEST_F(ExchangeDriver, AScanIdWithALineBreakIsRefusedBeforeTheSubmit)
{
    transport.replies = {{u"200", "1\r\nX-Injected: 1|1,2|t|a"}, {u"200", "http://x/"}};
    EXPECT_FALSE(run());
    EXPECT_EQ(transport.requests.size(), 1u);
    EXPECT_EQ(events.back(), repaintEvent(text::kSendFailed, text::kGettingResults));
}

TEST_F(ExchangeDriver, TheSubmitTemplateIsNeverAFormat)
{
    settings.submitPathTemplate = u"x/%s/%d/%s%%";
    transport.replies = {{u"200", "9|1,2|t|a"}, {u"200", "http://x/"}};
    ASSERT_TRUE(run());
    EXPECT_EQ(transport.requests[1].target, u"x/9/%d/%s%");
}

TEST_F(ExchangeDriver, AnAddressTooLongForTheFrameIsNeitherStoredNorOpened)
{
    const std::string address = "http://x/" + std::string(1015, 'a');
    ASSERT_EQ(address.size(), 1024u);
    transport.replies = {{u"200", "1|1,2|t|a"}, {u"200", address}};
    EXPECT_TRUE(run());
    EXPECT_EQ(frame.storedAddress, u"");
    EXPECT_TRUE(frame.openedAddresses.empty());
    EXPECT_EQ(frame.scanCompletePosts, 1);

    events.clear();
    transport.replies = {{u"200", "1|1,2|t|a"}, {u"200", address.substr(0, 1023)}};
    EXPECT_TRUE(run());
    EXPECT_EQ(frame.storedAddress.size(), 1023u);
    EXPECT_EQ(frame.openedAddresses.size(), 1u);
}

TEST_F(ExchangeDriver, AResultsAddressThatIsNoWebAddressIsASuccessWithoutAnAddress)
{
    for (const char* address : {"C:\\Windows\\system32\\calc.exe", "file:///C:/x.exe", "\\\\host\\share\\x.exe",
                                "javascript:alert(1)", "http://x/ \"--new-window\"", ""}) {
        SCOPED_TRACE(address);
        FakeFrameNotifier notifier;
        transport.replies = {{u"200", "1|1,2|t|a"}, {u"200", address}};
        ExchangeServices probe{transport, view, notifier, clock, settings};
        EXPECT_TRUE(exchangeWithServer(processes, scan, probe));
        EXPECT_EQ(notifier.storedAddress, u"");
        EXPECT_TRUE(notifier.openedAddresses.empty());
        EXPECT_EQ(notifier.scanCompletePosts, 1);
    }
}

TEST_F(ExchangeDriver, TrailingWhiteSpaceIsTrimmedAndARefusedAddressClearsTheLastOne)
{
    const std::pair<const char*, std::u16string> cases[] = {
        {"http://x/r\r\n", u"http://x/r"},
        {"http://x/r  \t", u"http://x/r"},
        {"file:///C:/x.exe\r\n", u""},
        {" \r\n", u""},
    };
    for (const auto& [reply, opened] : cases) {
        SCOPED_TRACE(reply);
        FakeFrameNotifier notifier;
        notifier.storeResultsAddress(u"http://earlier/scan");
        transport.replies = {{u"200", "1|1,2|t|a"}, {u"200", reply}};
        ExchangeServices probe{transport, view, notifier, clock, settings};
        EXPECT_TRUE(exchangeWithServer(processes, scan, probe));
        EXPECT_EQ(notifier.storedAddress, opened);
        EXPECT_EQ(notifier.openedAddresses.size(), opened.empty() ? 0u : 1u);
    }
}

TEST_F(ExchangeDriver, ASubmitBodyOf1024BytesGivesPositions0And1024)
{
    // The body length follows the scan id's length: about one byte per
    // character. Search near the estimate for the id that makes it 1024.
    auto runWithIdLength = [&](std::size_t length, FakeHttpTransport& sized) {
        sized.replies = {{u"200", std::string(length, '7') + "|1,2|t|a"}, {u"200", "http://x/"}};
        std::vector<ProcessRecord> records = processes;
        ProcessRecord scanRecord;
        events.clear();
        ExchangeServices probe{sized, view, frame, clock, settings};
        EXPECT_TRUE(exchangeWithServer(records, scanRecord, probe));
        return sized.requests.at(1).body.size();
    };
    FakeHttpTransport first;
    const std::size_t estimate = 1024 - runWithIdLength(1, first) + 1;
    for (std::size_t length = estimate > 40 ? estimate - 40 : 1; length < estimate + 40; ++length) {
        FakeHttpTransport sized;
        if (runWithIdLength(length, sized) != 1024)
            continue;
        EXPECT_EQ(sized.requests[1].writeSizes, std::vector<std::uint32_t>{1024});
        std::vector<std::string> positions;
        for (const auto& event : events)
            if (event.rfind("pos ", 0) == 0 || event.rfind("range", 0) == 0)
                positions.push_back(event);
        EXPECT_EQ(positions, (std::vector<std::string>{"pos 0", "range 0..1024", "pos 0", "pos 1024"}));
        return;
    }
    FAIL() << "no scan id length near " << estimate << " gave a 1024-byte body";
}
