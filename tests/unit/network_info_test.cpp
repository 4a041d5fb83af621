#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/extractors/network_info.h"
#include "core/scan/keys.h"
#include "core/scan/trace.h"
#include "fakes/fake_network_system.h"

using namespace zorvane;
using zorvane::testing::FakeNetworkSystem;

namespace {

// Collects what the pass hands to the trace hook while it lives.
class TraceCapture {
public:
    TraceCapture()
    {
        previous_ = setTraceSink([this](std::u16string_view text) { texts.emplace_back(text); });
    }
    ~TraceCapture() { setTraceSink(std::move(previous_)); }
    std::vector<std::u16string> texts;

private:
    TraceSink previous_;
};

class NetworkPass : public ::testing::Test {
protected:
    // The "net.NetworkPorts" value the extractor stores for `processId`,
    // none when it stores nothing.
    std::optional<std::u16string> portsOf(std::uint32_t processId)
    {
        ProcessRecord record;
        extractor.bind(&record);
        extractor.onProcess(processId);
        extractor.bind(nullptr);
        const std::u16string* value = record.find(keys::kNetNetworkPorts);
        return value ? std::optional<std::u16string>(*value) : std::nullopt;
    }

    FakeNetworkSystem system;
    NetworkInfoExtractor extractor{system};
};

std::string classOf(Ipv4Address address, std::optional<Ipv4Address> proxy = std::nullopt)
{
    return std::string(addressClassName(classifyAddress(address, proxy)));
}

}  // namespace

TEST(NetworkAddressClass, FollowsTheFirstTwoOctets)
{
    EXPECT_EQ(classOf({0, 0, 0, 0}), "DEFAULT");
    EXPECT_EQ(classOf({127, 0, 0, 1}), "LOOPBACK");
    EXPECT_EQ(classOf({127, 1, 0, 1}), "INTERNET");
    EXPECT_EQ(classOf({192, 168, 1, 5}), "ETHERNET");
    EXPECT_EQ(classOf({192, 169, 1, 5}), "INTERNET");
    EXPECT_EQ(classOf({10, 200, 3, 4}), "ETHERNET");
    EXPECT_EQ(classOf({172, 16, 0, 1}), "ETHERNET");
    EXPECT_EQ(classOf({172, 31, 255, 1}), "ETHERNET");
    EXPECT_EQ(classOf({172, 32, 0, 1}), "INTERNET");
    EXPECT_EQ(classOf({172, 15, 0, 1}), "INTERNET");
    EXPECT_EQ(classOf({169, 254, 7, 7}), "ETHERNET");
    EXPECT_EQ(classOf({169, 253, 7, 7}), "INTERNET");
    EXPECT_EQ(classOf({255, 255, 255, 255}), "BROADCAST");
    EXPECT_EQ(classOf({8, 8, 8, 8}), "INTERNET");
}

TEST(NetworkAddressClass, APrivateAddressEqualToTheProxyIsInternet)
{
    const Ipv4Address proxy{192, 168, 1, 5};
    EXPECT_EQ(classOf({192, 168, 1, 5}, proxy), "INTERNET");
    EXPECT_EQ(classOf({192, 168, 1, 6}, proxy), "ETHERNET");
    EXPECT_EQ(classOf({127, 0, 0, 1}, Ipv4Address{127, 0, 0, 1}), "LOOPBACK");
}

TEST(NetworkProxyText, OnlyADottedAddressBeforeTheColonCounts)
{
    EXPECT_EQ(parseProxyAddress(u"192.168.1.5:8080"), (Ipv4Address{192, 168, 1, 5}));
    EXPECT_EQ(parseProxyAddress(u"10.0.0.1"), (Ipv4Address{10, 0, 0, 1}));
    EXPECT_EQ(parseProxyAddress(u"proxy.example:8080"), std::nullopt);
    EXPECT_EQ(parseProxyAddress(u"http=10.0.0.1:80;https=10.0.0.1:443"), std::nullopt);
    EXPECT_EQ(parseProxyAddress(u""), std::nullopt);
    EXPECT_EQ(parseProxyAddress(u"10.0.0"), std::nullopt);
    EXPECT_EQ(parseProxyAddress(u"10.0.0.1.2"), std::nullopt);
    EXPECT_EQ(parseProxyAddress(u"10.0.0.256"), std::nullopt);
    EXPECT_EQ(parseProxyAddress(u"10..0.1"), std::nullopt);
    EXPECT_EQ(parseProxyAddress(u"10.0.0.1 "), std::nullopt);
    // A character outside Latin-1 becomes a space, which no address contains.
    EXPECT_EQ(parseProxyAddress(u"10.0.0.\u0661"), std::nullopt);
}

TEST(NetworkParsers, HandleTableIsCutToTheEntriesPresent)
{
    std::vector<std::uint8_t> buffer(4 + 2 * 16, 0);
    buffer[0] = 50;  // claims 50 entries, holds 2
    const std::uint8_t second[16] = {0x34, 0x12, 0, 0, 28, 1, 0xC8, 0x01, 0, 0, 0, 0, 0x9F, 0x01, 0x12, 0};
    std::memcpy(buffer.data() + 20, second, sizeof second);

    const auto entries = parseSystemHandleTable(buffer.data(), buffer.size());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].processId, 0x1234u);
    EXPECT_EQ(entries[1].objectType, 28);
    EXPECT_EQ(entries[1].flags, 1);
    EXPECT_EQ(entries[1].handle, 0x01C8);
    EXPECT_EQ(entries[1].grantedAccess, 0x0012019Fu);

    EXPECT_TRUE(parseSystemHandleTable(buffer.data(), 3).empty());
    EXPECT_TRUE(parseSystemHandleTable(buffer.data(), 19).empty());
}

TEST(NetworkParsers, TdiAddressGivesHostOrderPortAndOctets)
{
    std::uint8_t info[128] = {};
    info[12] = 0x04;  // port 1025, network order
    info[13] = 0x01;
    const std::uint8_t address[4] = {192, 168, 1, 5};
    std::memcpy(info + 14, address, 4);

    const auto local = parseTdiAddressInfo(info, sizeof info);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->port, 1025);
    EXPECT_EQ(local->address, (Ipv4Address{192, 168, 1, 5}));
    EXPECT_FALSE(parseTdiAddressInfo(info, 17));
}

TEST(NetworkParsers, ObjectNameLengthIsBoundedByTheBuffer)
{
    const std::u16string name = u"\\Device\\Tcp";
    std::vector<std::uint8_t> buffer(8 + 2 * name.size());
    buffer[0] = static_cast<std::uint8_t>(2 * name.size());
    for (std::size_t i = 0; i < name.size(); ++i)
        buffer[8 + 2 * i] = static_cast<std::uint8_t>(name[i]);
    EXPECT_EQ(parseObjectNameInformation(buffer.data(), buffer.size()), name);

    buffer[0] = 0xFF;  // claims more than is there
    buffer[1] = 0xFF;
    EXPECT_EQ(parseObjectNameInformation(buffer.data(), buffer.size()), name);
    EXPECT_EQ(parseObjectNameInformation(buffer.data(), 8 + 7), u"\\De");
    EXPECT_EQ(parseObjectNameInformation(buffer.data(), 4), u"");
}

TEST_F(NetworkPass, ItemsAreDistinctPortClassPairsOrderedAsText)
{
    system.addTcp(40, {0, 0, 0, 0}, 80);
    system.addUdp(40, {0, 0, 0, 0}, 80);      // same port and class as TCP: one item
    system.addTcp(40, {127, 0, 0, 1}, 1025);
    system.addTcp(40, {127, 0, 0, 1}, 1025);  // a second handle to the same socket
    system.addUdp(40, {192, 168, 1, 5}, 139);
    system.addUdp(40, {8, 8, 4, 4}, 139);     // the same port in a second class
    system.addTcp(40, {0, 0, 0, 0}, 12345);
    system.addTcp(41, {0, 0, 0, 0}, 443);     // another process
    for (int i = 0; i < 8; ++i)
        system.addHandle(40, u"\\BaseNamedObjects\\other");

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(40), u"1025|LOOPBACK,12345|DEFAULT,139|ETHERNET,139|INTERNET,80|DEFAULT");
    EXPECT_EQ(portsOf(41), u"443|DEFAULT");
    EXPECT_EQ(portsOf(42), u"");
    EXPECT_EQ(system.portTableReads, 0);
    EXPECT_EQ(system.openDuplicates, 0);
}

TEST_F(NetworkPass, OnlyTheExactDeviceNamesAreQueried)
{
    system.addHandle(7, u"\\Device\\TcpIp");
    system.addHandle(7, u"\\device\\tcp");
    system.addHandle(7, u"\\Device\\RawIp");
    system.addHandle(7);
    const auto& tcp = system.addTcp(7, {0, 0, 0, 0}, 21);
    system.addHandle(7);
    system.addHandle(7);

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(system.addressQueries, std::vector<std::uint16_t>{tcp.value});
    EXPECT_EQ(portsOf(7), u"21|DEFAULT");
}

TEST_F(NetworkPass, TheEnabledProxyTurnsItsOwnAddressIntoInternet)
{
    system.addTcp(5, {192, 168, 1, 5}, 3128);
    system.addTcp(5, {192, 168, 1, 6}, 3129);
    system.addHandle(5);
    system.addHandle(5);

    system.proxyServer = u"192.168.1.5:8080";
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(5), u"3128|INTERNET,3129|ETHERNET");

    system.proxyServer = u"proxy.example:8080";
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(5), u"3128|ETHERNET,3129|ETHERNET");

    system.proxyServer.reset();
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(5), u"3128|ETHERNET,3129|ETHERNET");
}

TEST_F(NetworkPass, WithoutAListNoRecordGetsAValue)
{
    system.addTcp(3, {0, 0, 0, 0}, 80);
    system.addHandle(3);

    // Before any pass.
    EXPECT_EQ(portsOf(3), std::nullopt);

    system.handleTableReadable = false;
    EXPECT_FALSE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(3), std::nullopt);
    EXPECT_EQ(system.portTableReads, 0);

    system.handleTableReadable = true;
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(3), u"80|DEFAULT");

    // A failed pass drops the list of the previous one.
    system.entryPoints = false;
    ProcessRecord scanWide;
    extractor.bind(&scanWide);
    EXPECT_FALSE(extractor.collectSocketTable());
    extractor.bind(nullptr);
    EXPECT_EQ(scanWide[keys::kError],
              u"net:The NTDLL.DLL on this computer is not one provided by Microsoft for Windows 2000, XP and 2003.");
    EXPECT_EQ(portsOf(3), std::nullopt);
}

TEST_F(NetworkPass, AHandleThatNeverAnswersIsSkippedAndThePassGoesOn)
{
    TraceCapture trace;
    system.addTcp(9, {0, 0, 0, 0}, 135);
    system.addHandle(9).hangs = true;
    system.addTcp(9, {127, 0, 0, 1}, 5000).hangs = true;
    system.addTcp(9, {0, 0, 0, 0}, 445);
    system.addHandle(9);
    system.addHandle(9);

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(9), u"135|DEFAULT,445|DEFAULT");
    EXPECT_EQ(system.addressQueries.size(), 2u);
    ASSERT_EQ(trace.texts.size(), 2u);
    EXPECT_EQ(trace.texts[0], u"Name query of handle 8 of process 9 did not answer; handle skipped.\n");
}

TEST_F(NetworkPass, UnopenableProcessesAndFailedDuplicationsAreTracedPerHandle)
{
    TraceCapture trace;
    system.addTcp(4, {0, 0, 0, 0}, 139);
    system.addTcp(4, {0, 0, 0, 0}, 445);
    system.addTcp(8, {0, 0, 0, 0}, 80).duplicable = false;
    system.addTcp(8, {0, 0, 0, 0}, 81);
    system.addHandle(4);
    system.addHandle(4);
    system.unopenable.insert(4);

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(4), u"");
    EXPECT_EQ(portsOf(8), u"81|DEFAULT");
    EXPECT_EQ(trace.texts,
              (std::vector<std::u16string>{u"Handle duplication of process 4 failed.\n",
                                           u"Handle duplication of process 4 failed.\n",
                                           u"Handle duplication of process 8 failed.\n",
                                           u"Handle duplication of process 4 failed.\n",
                                           u"Handle duplication of process 4 failed.\n"}));
    // One open per run of entries of the same process, failed or not.
    EXPECT_EQ(system.processOpens, 3);
}

TEST_F(NetworkPass, AFullListKeepsTheFirstSocketsAndSaysSo)
{
    TraceCapture trace;
    // Six handles give room for three sockets.
    system.addTcp(2, {0, 0, 0, 0}, 1);
    system.addTcp(2, {0, 0, 0, 0}, 2);
    system.addTcp(2, {0, 0, 0, 0}, 3);
    system.addTcp(2, {0, 0, 0, 0}, 4);
    system.addTcp(3, {0, 0, 0, 0}, 5);
    system.addTcp(3, {0, 0, 0, 0}, 6);

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(2), u"1|DEFAULT,2|DEFAULT,3|DEFAULT");
    EXPECT_EQ(portsOf(3), u"");
    EXPECT_EQ(trace.texts,
              std::vector<std::u16string>{u"The socket list is full (3 entries); further sockets are not recorded.\n"});
}

TEST_F(NetworkPass, PortTablesStandInWhenNoSocketHandleExists)
{
    for (std::uint32_t pid : {12u, 12u, 12u, 14u, 14u, 14u, 14u, 16u, 16u, 16u})
        system.addHandle(pid, u"\\Device\\Afd");
    system.portTables = std::vector<PortTableRow>{
        {12, {{0, 0, 0, 0}, 80}},  {12, {{127, 0, 0, 1}, 1025}}, {14, {{192, 168, 1, 5}, 139}},
        {12, {{0, 0, 0, 0}, 80}},  {0, {{0, 0, 0, 0}, 5355}},
    };

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(system.portTableReads, 1);
    EXPECT_EQ(portsOf(12), u"1025|LOOPBACK,80|DEFAULT");
    EXPECT_EQ(portsOf(14), u"139|ETHERNET");
    EXPECT_EQ(portsOf(16), u"");

    // Without the tables there is still a list, only an empty one.
    system.portTables.reset();
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(12), u"");
}

TEST_F(NetworkPass, PortTablesAreNotReadOnceASocketHandleWasSeen)
{
    // The address query fails, but the system does have socket handles.
    system.addHandle(12, u"\\Device\\Udp");
    system.addHandle(12);
    system.portTables = std::vector<PortTableRow>{{12, {{0, 0, 0, 0}, 80}}};

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(system.portTableReads, 0);
    EXPECT_EQ(portsOf(12), u"");
}
