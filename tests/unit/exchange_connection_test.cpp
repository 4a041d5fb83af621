// ServerConnection over the scripted transport.
#include <gtest/gtest.h>

#include "core/exchange/server_connection.h"
#include "tests/fakes/fake_http_transport.h"

using namespace zorvane;
using namespace zorvane::testing;

namespace {

// A single field whose body ("a=" and the value) is `length` bytes long.
protocol::FormFields bodyOfLength(std::size_t length)
{
    return {{"a", std::string(length - 2, 'x')}};
}

std::vector<std::uint32_t> writeAll(ServerConnection& connection)
{
    std::vector<std::uint32_t> steps;
    connection.writeBody([&](std::uint32_t written) { steps.push_back(written); });
    return steps;
}

}  // namespace

TEST(ServerConnection, PostsTheBodyInChunksWithProgressAndTheFixedHead)
{
    FakeHttpTransport transport;
    transport.replies.push_back({u"200", "ok"});
    ServerConnection connection(transport, u"scan.example", 8080);
    ASSERT_TRUE(connection.startPost(u"corvelle/initialisescan", bodyOfLength(2500)));
    EXPECT_EQ(connection.state(), ServerConnection::State::sending);
    EXPECT_EQ(writeAll(connection), (std::vector<std::uint32_t>{0, 1024, 2048, 2500}));
    std::u16string reply;
    EXPECT_TRUE(connection.finishPost(reply));
    EXPECT_EQ(reply, u"ok");
    EXPECT_EQ(connection.state(), ServerConnection::State::connected);

    ASSERT_EQ(transport.requests.size(), 1u);
    const auto& request = transport.requests[0];
    EXPECT_EQ(request.verb, u"POST");
    EXPECT_EQ(request.target, u"corvelle/initialisescan");
    ASSERT_EQ(request.headers.size(), 1u);
    EXPECT_EQ(request.headers[0], u"Content-Type: application/x-www-form-urlencoded");
    EXPECT_EQ(request.headers[0].size(), 47u);
    EXPECT_EQ(request.announcedLength, 2500u);
    EXPECT_EQ(request.writeSizes, (std::vector<std::uint32_t>{1024, 1024, 452}));
    EXPECT_EQ(request.body, "a=" + std::string(2498, 'x'));
    EXPECT_EQ(transport.calls[0], "openSession Zorvane/1.0");
    EXPECT_EQ(transport.calls[1], "connect scan.example:8080");
    EXPECT_EQ(transport.count("read 2048"), 2u);
}

TEST(ServerConnection, AnEmptyBodyIsAnnouncedAsZeroAndNeverWritten)
{
    FakeHttpTransport transport;
    transport.replies.push_back({u"200", ""});
    ServerConnection connection(transport, u"h", 80);
    ASSERT_TRUE(connection.startPost(u"t", {}));
    EXPECT_EQ(writeAll(connection), std::vector<std::uint32_t>{0});
    EXPECT_EQ(transport.count("write"), 0u);
    EXPECT_EQ(transport.requests[0].announcedLength, 0u);
    std::u16string reply = u"stale";
    EXPECT_TRUE(connection.finishPost(reply)) << "200 with an empty reply";
    EXPECT_EQ(reply, u"");
}

TEST(ServerConnection, OtherStatusesAreReadFullyButFail)
{
    FakeHttpTransport transport;
    transport.replies.push_back({u"404", std::string(5000, 'n')});
    transport.replies.push_back({u"2000", "x"});
    transport.replies.push_back({u"200", "y"});
    ServerConnection connection(transport, u"h", 80);
    std::u16string reply;
    ASSERT_TRUE(connection.startPost(u"t", bodyOfLength(10)));
    connection.writeBody();
    EXPECT_FALSE(connection.finishPost(reply));
    EXPECT_EQ(reply.size(), 5000u);
    ASSERT_TRUE(connection.startPost(u"t", bodyOfLength(10)));
    EXPECT_FALSE(connection.finishPost(reply));
    transport.failing.insert("queryStatusCode");
    ASSERT_TRUE(connection.startPost(u"t", bodyOfLength(10)));
    EXPECT_FALSE(connection.finishPost(reply)) << "no status is no success";
}

TEST(ServerConnection, ReplyBytesWidenOneToOne)
{
    FakeHttpTransport transport;
    transport.replies.push_back({u"200", "A\x80\xE9\xFF"});
    ServerConnection connection(transport, u"h", 80);
    ASSERT_TRUE(connection.startPost(u"t", {}));
    std::u16string reply;
    ASSERT_TRUE(connection.finishPost(reply));
    EXPECT_EQ(reply, (std::u16string{u'A', 0x80, 0xE9, 0xFF}));
}

TEST(ServerConnection, TheSecondExchangeReusesSessionAndConnection)
{
    FakeHttpTransport transport;
    transport.replies = {{u"200", "1"}, {u"200", "2"}};
    {
        ServerConnection connection(transport, u"h", 80);
        std::u16string reply;
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(connection.startPost(u"t", bodyOfLength(5)));
            connection.writeBody();
            ASSERT_TRUE(connection.finishPost(reply));
        }
        EXPECT_EQ(reply, u"2");
        EXPECT_EQ(transport.count("openSession"), 1u);
        EXPECT_EQ(transport.count("connect"), 1u);
        EXPECT_EQ(transport.requestsOpen, 0);
        EXPECT_EQ(transport.connectionsOpen, 1);
    }
    EXPECT_EQ(transport.connectionsOpen, 0) << "destruction closes every handle";
    EXPECT_EQ(transport.sessionsOpen, 0);
}

TEST(ServerConnection, AReplyOverTheCapFailsAndIsNotKept)
{
    FakeHttpTransport transport;
    transport.replies.push_back({u"200", std::string(ServerConnection::kMaxReplyBytes, 'r')});
    transport.replies.push_back({u"200", std::string(ServerConnection::kMaxReplyBytes + 1, 'r')});
    ServerConnection connection(transport, u"h", 80);
    std::u16string reply;
    ASSERT_TRUE(connection.startPost(u"t", {}));
    EXPECT_TRUE(connection.finishPost(reply)) << "exactly the cap is accepted";
    reply = u"before";
    ASSERT_TRUE(connection.startPost(u"t", {}));
    EXPECT_FALSE(connection.finishPost(reply));
    EXPECT_EQ(reply, u"before");
    EXPECT_EQ(transport.requestsOpen, 0);
}

TEST(ServerConnection, AReplyCutOffMidBodyFails)
{
    // A reset after part of the body (the read fails), a close after part
    // of it (fewer bytes than announced), and a reply that announces no
    // length and ends cleanly, which is whole as far as anyone can tell.
    FakeHttpTransport transport;
    transport.replies.push_back({u"200", "http://127.0.0.1/results/42", std::nullopt, 20});
    transport.replies.push_back({u"200", "http://127.0.0.1/res", 27});
    transport.replies.push_back({u"200", "http://127.0.0.1/results/42", -1});
    ServerConnection connection(transport, u"h", 80);
    std::u16string reply;
    ASSERT_TRUE(connection.startPost(u"t", {}));
    EXPECT_FALSE(connection.finishPost(reply)) << "reset";
    ASSERT_TRUE(connection.startPost(u"t", {}));
    EXPECT_FALSE(connection.finishPost(reply)) << "short";
    ASSERT_TRUE(connection.startPost(u"t", {}));
    EXPECT_TRUE(connection.finishPost(reply));
    EXPECT_EQ(reply, u"http://127.0.0.1/results/42");
    EXPECT_EQ(transport.requestsOpen, 0);
}

TEST(ServerConnection, AReplyAnnouncedOverTheCapIsNotRead)
{
    FakeHttpTransport transport;
    transport.replies.push_back({u"200", "tiny", std::int64_t{10} << 20});
    ServerConnection connection(transport, u"h", 80);
    std::u16string reply = u"before";
    ASSERT_TRUE(connection.startPost(u"t", {}));
    EXPECT_FALSE(connection.finishPost(reply));
    EXPECT_EQ(reply, u"before");
    EXPECT_EQ(transport.count("read"), 0u);
    EXPECT_EQ(transport.requestsOpen, 0);
}

TEST(ServerConnection, WritingStopsOnFailureOrOnAWriteOfNothing)
{
    FakeHttpTransport transport;
    ServerConnection connection(transport, u"h", 80);
    ASSERT_TRUE(connection.startPost(u"t", bodyOfLength(3000)));
    transport.writeNothing = true;
    EXPECT_EQ(writeAll(connection), (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(transport.count("write"), 1u) << "no spinning";

    std::u16string reply;
    connection.finishPost(reply);
    transport.writeNothing = false;
    transport.writeLimit = 1000;
    ASSERT_TRUE(connection.startPost(u"t", bodyOfLength(2500)));
    EXPECT_EQ(writeAll(connection), (std::vector<std::uint32_t>{0, 1000, 2000, 2500}))
        << "a short write continues from where it ended";
    connection.finishPost(reply);

    transport.failing.insert("write");
    ASSERT_TRUE(connection.startPost(u"t", bodyOfLength(2500)));
    EXPECT_EQ(writeAll(connection), (std::vector<std::uint32_t>{0}));
}

TEST(ServerConnection, AFailedStartLeavesEverythingClosedAndTheNextConnectsAnew)
{
    for (const char* failing : {"openSession", "connect", "openRequest", "addRequestHeader", "sendRequest"}) {
        FakeHttpTransport transport;
        transport.failing.insert(failing);
        ServerConnection connection(transport, u"h", 80);
        EXPECT_FALSE(connection.startPost(u"t", {})) << failing;
        EXPECT_EQ(connection.state(), ServerConnection::State::idle);
        EXPECT_EQ(transport.sessionsOpen + transport.connectionsOpen + transport.requestsOpen, 0) << failing;
        std::u16string reply;
        EXPECT_FALSE(connection.finishPost(reply));
        transport.failing.clear();
        transport.calls.clear();
        EXPECT_TRUE(connection.startPost(u"t", {}));
        EXPECT_EQ(transport.count("openSession"), 1u);
    }
}

TEST(ServerConnection, AFailedEndOfRequestReadsNothingAndClosesTheRequest)
{
    FakeHttpTransport transport;
    transport.failing.insert("endRequest");
    ServerConnection connection(transport, u"h", 80);
    ASSERT_TRUE(connection.startPost(u"t", {}));
    std::u16string reply;
    EXPECT_FALSE(connection.finishPost(reply));
    EXPECT_EQ(transport.count("read"), 0u);
    EXPECT_EQ(transport.requestsOpen, 0);
    EXPECT_EQ(connection.state(), ServerConnection::State::connected);
}
