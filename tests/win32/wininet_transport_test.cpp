// ServerConnection over the real WinINet adapter against the loopback
// recording server of the "recording_server" CTest fixture.
#include <gtest/gtest.h>

#include "client/exchange/wininet_transport.h"
#include "core/exchange/server_connection.h"
#include "recording_server.h"

using namespace zorvane;
using namespace zorvane::testing;

namespace {

// Forwards to WinINet and records what each write call asked for and got.
class CountingTransport : public HttpTransport {
public:
    bool openSession(std::u16string_view agent) override { ++sessionsOpened; return real_->openSession(agent); }
    bool connect(std::u16string_view host, std::uint16_t port) override
    {
        ++connectsMade;
        return real_->connect(host, port);
    }
    bool openRequest(std::u16string_view verb, std::u16string_view target) override
    {
        return real_->openRequest(verb, target);
    }
    bool addRequestHeader(std::u16string_view line) override { return real_->addRequestHeader(line); }
    bool sendRequest(std::uint32_t total) override { return real_->sendRequest(total); }
    std::optional<std::uint32_t> write(const char* data, std::uint32_t size) override
    {
        const auto written = real_->write(data, size);
        writes.push_back(written.value_or(0));
        return written;
    }
    bool endRequest() override { return real_->endRequest(); }
    std::optional<std::u16string> queryStatusCode() override { return real_->queryStatusCode(); }
    std::optional<std::uint64_t> queryContentLength() override { return real_->queryContentLength(); }
    std::optional<std::uint32_t> read(char* buffer, std::uint32_t size) override { return real_->read(buffer, size); }
    void closeRequest() override { real_->closeRequest(); }
    void closeConnection() override { real_->closeConnection(); }
    void closeSession() override { real_->closeSession(); }

    std::vector<std::uint32_t> writes;
    int sessionsOpened = 0;
    int connectsMade = 0;

private:
    std::unique_ptr<HttpTransport> real_ = client::makeWinInetTransport();
};

class WinInetTransport : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = RecordingServer::attach();
        ASSERT_TRUE(server) << "the recording server is not running: run through ctest, or start it with "
                               "tests/tools/recording_server.py start --state-dir build/win32/recording-server";
        connection.emplace(transport, u"127.0.0.1", server->port());
    }

    std::u16string target(std::string_view name) const
    {
        const std::string text = server->prefix() + std::string(name);
        return std::u16string(text.begin(), text.end());
    }

    // One whole exchange; the progress steps it reported.
    std::vector<std::uint32_t> post(std::string_view name, const protocol::FormFields& fields, bool& ok,
                                    std::u16string& reply)
    {
        std::vector<std::uint32_t> steps;
        ok = connection->startPost(target(name), fields);
        if (!ok)
            return steps;
        connection->writeBody([&](std::uint32_t written) { steps.push_back(written); });
        ok = connection->finishPost(reply);
        return steps;
    }

    RecordedRequest onlyRequest() const
    {
        auto requests = server->requests();
        EXPECT_TRUE(requests);
        EXPECT_EQ(requests->size(), 1u);
        return requests && !requests->empty() ? requests->front() : RecordedRequest{};
    }

    std::optional<RecordingServer> server;
    CountingTransport transport;
    std::optional<ServerConnection> connection;
};

}  // namespace

TEST_F(WinInetTransport, PostsTheBodyIn1024ByteWritesWithTheFixedHead)
{
    const std::string value(2498, 'v');
    ASSERT_TRUE(server->script(200, "thanks"));
    bool ok = false;
    std::u16string reply;
    EXPECT_EQ(post("init", {{"a", value}}, ok, reply), (std::vector<std::uint32_t>{0, 1024, 2048, 2500}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(reply, u"thanks");
    EXPECT_EQ(transport.writes, (std::vector<std::uint32_t>{1024, 1024, 452}));

    const RecordedRequest request = onlyRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, server->prefix() + "init");
    EXPECT_EQ(request.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(request.header("Content-Length"), "2500");
    EXPECT_EQ(request.header("User-Agent"), "Zorvane/1.0");
    EXPECT_EQ(request.body, "a=" + value);
}

TEST_F(WinInetTransport, AnEmptyBodyAndAnEmptyReply)
{
    ASSERT_TRUE(server->script(200, ""));
    bool ok = false;
    std::u16string reply = u"stale";
    EXPECT_EQ(post("empty", {}, ok, reply), std::vector<std::uint32_t>{0});
    EXPECT_TRUE(ok);
    EXPECT_EQ(reply, u"");
    EXPECT_TRUE(transport.writes.empty());
    const RecordedRequest request = onlyRequest();
    EXPECT_EQ(request.header("Content-Length"), "0");
    EXPECT_EQ(request.body, "");
}

TEST_F(WinInetTransport, A404IsReadFullyAndFails)
{
    const std::string page(5000, 'n');
    ASSERT_TRUE(server->script(404, page));
    bool ok = true;
    std::u16string reply;
    post("missing", {{"a", "1"}}, ok, reply);
    EXPECT_FALSE(ok);
    EXPECT_EQ(reply, std::u16string(5000, u'n'));
}

TEST_F(WinInetTransport, ReplyBytesAbove7FWidenToTheSameCodeUnits)
{
    ASSERT_TRUE(server->script(200, std::string("\x41\x80\xC3\xA9\xFF", 5)));
    bool ok = false;
    std::u16string reply;
    post("bytes", {}, ok, reply);
    EXPECT_TRUE(ok);
    EXPECT_EQ(reply, (std::u16string{u'A', 0x80, 0xC3, 0xA9, 0xFF}));
}

TEST_F(WinInetTransport, BothExchangesShareOneTcpConnection)
{
    ASSERT_TRUE(server->script(200, "1|2|3|4"));
    ASSERT_TRUE(server->script(200, "http://127.0.0.1/r"));
    bool ok = false;
    std::u16string reply;
    post("initialise", {{"md5s", "AAAA"}}, ok, reply);
    ASSERT_TRUE(ok);
    post("submit", {{"input", "BBBB"}, {"scan_id", "1"}}, ok, reply);
    ASSERT_TRUE(ok);
    EXPECT_EQ(reply, u"http://127.0.0.1/r");
    EXPECT_EQ(transport.sessionsOpened, 1);
    EXPECT_EQ(transport.connectsMade, 1);

    const auto requests = server->requests();
    ASSERT_TRUE(requests);
    ASSERT_EQ(requests->size(), 2u);
    EXPECT_EQ((*requests)[0].connection, (*requests)[1].connection);
    EXPECT_EQ((*requests)[1].body, "input=BBBB&scan_id=1");
}

TEST_F(WinInetTransport, AReplyOverTheCapFailsWithoutKeepingIt)
{
    ASSERT_TRUE(server->script(200, std::string(ServerConnection::kMaxReplyBytes + 1, 'r')));
    bool ok = true;
    std::u16string reply = u"before";
    post("huge", {}, ok, reply);
    EXPECT_FALSE(ok);
    EXPECT_EQ(reply, u"before");
}

TEST_F(WinInetTransport, ARefusedConnectionFailsTheStart)
{
    // A port nobody listens on: WinINet connects lazily, so the failure
    // shows when the request head is sent.
    ServerConnection nowhere(transport, u"127.0.0.1", 1);
    EXPECT_FALSE(nowhere.startPost(u"/x", {{"a", "1"}}));
    EXPECT_EQ(nowhere.state(), ServerConnection::State::idle);
}
