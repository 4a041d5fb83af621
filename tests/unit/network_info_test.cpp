#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/extractors/network_info.h"
#include "core/scan/keys.h"
#include "core/scan/trace.h"
#include "fakes/fake_network_system.h"

using namespace zorvane;
using zorvane::fakes::FakeNetworkSystem;

namespace {

class NetworkPass : public ::testing::Test {
protected:
    NetworkPass()
    {
        previousSink_ = setTraceSink([this](std::u16string_view text) { traced.emplace_back(text); });
    }
    ~NetworkPass() override { setTraceSink(std::move(previousSink_)); }

    // The "net.NetworkPorts" value stored for `processId`; none when nothing is stored.
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
    std::vector<std::u16string> traced;

private:
    TraceSink previousSink_;
};

std::string_view classOf(Ipv4Address address, std::optional<Ipv4Address> proxy = std::nullopt)
{
    return addressClassName(classifyAddress(address, proxy));
}

}  // namespace

TEST(NetworkAddressClass, FollowsTheFirstTwoOctetsAndTheProxy)
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
    EXPECT_EQ(classOf({169, 254, 7, 7}), "ETHERNET");
    EXPECT_EQ(classOf({169, 253, 7, 7}), "INTERNET");
    EXPECT_EQ(classOf({255, 255, 255, 255}), "BROADCAST");

    const Ipv4Address proxy{192, 168, 1, 5};
    EXPECT_EQ(classOf({192, 168, 1, 5}, proxy), "INTERNET");
    EXPECT_EQ(classOf({192, 168, 1, 6}, proxy), "ETHERNET");
    EXPECT_EQ(classOf({127, 0, 0, 1}, Ipv4Address{127, 0, 0, 1}), "LOOPBACK");
}

TEST(NetworkAddressClass, OnlyADottedAddressBeforeTheColonIsAProxy)
{
    EXPECT_EQ(parseProxyAddress(u"192.168.1.5:8080"), (Ipv4Address{192, 168, 1, 5}));
    EXPECT_EQ(parseProxyAddress(u"10.0.0.1"), (Ipv4Address{10, 0, 0, 1}));
    for (const char16_t* text : {u"proxy.example:8080", u"http=10.0.0.1:80;https=10.0.0.1:443", u"", u"10.0.0",
                                 u"10.0.0.1.2", u"10.0.0.256", u"10..0.1", u"10.0.0.1 ", u"10.0.0.\u0661"})
        EXPECT_EQ(parseProxyAddress(text), std::nullopt);
}

TEST(NetworkParsers, LengthsBeyondTheBufferAreCut)
{
    std::vector<std::uint8_t> table(4 + 2 * 16, 0);
    table[0] = 50;  // claims 50 entries, holds 2
    const std::uint8_t second[16] = {0x34, 0x12, 0, 0, 28, 1, 0xC8, 0x01, 0, 0, 0, 0, 0x9F, 0x01, 0x12, 0};
    std::memcpy(table.data() + 20, second, sizeof second);
    const auto entries = parseSystemHandleTable(table.data(), table.size());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].processId, 0x1234u);
    EXPECT_EQ(entries[1].handle, 0x01C8);
    EXPECT_EQ(entries[1].grantedAccess, 0x0012019Fu);
    EXPECT_TRUE(parseSystemHandleTable(table.data(), 19).empty());

    std::uint8_t info[128] = {};
    const std::uint8_t portAndAddress[6] = {0x04, 0x01, 192, 168, 1, 5};  // port 1025, network order
    std::memcpy(info + 12, portAndAddress, sizeof portAndAddress);
    const auto local = parseTdiAddressInfo(info, sizeof info);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->port, 1025);
    EXPECT_EQ(local->address, (Ipv4Address{192, 168, 1, 5}));
    EXPECT_FALSE(parseTdiAddressInfo(info, 17));

    const std::u16string tcp = u"\\Device\\Tcp";
    std::vector<std::uint8_t> name(8 + 2 * tcp.size());
    name[0] = 0xFF;  // claims more than is there
    name[1] = 0xFF;
    for (std::size_t i = 0; i < tcp.size(); ++i)
        name[8 + 2 * i] = static_cast<std::uint8_t>(tcp[i]);
    EXPECT_EQ(parseObjectNameInformation(name.data(), name.size()), tcp);
    EXPECT_EQ(parseObjectNameInformation(name.data(), 8 + 7), u"\\De");
    EXPECT_EQ(parseObjectNameInformation(name.data(), 4), u"");
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
    system.addTcp(41, {0, 0, 0, 0}, 443);
    system.addHandle(40, u"\\Device\\TcpIp");
    system.addHandle(40, u"\\device\\tcp");
    for (int i = 0; i < 6; ++i)
        system.addHandle(41);

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(40), u"1025|LOOPBACK,12345|DEFAULT,139|ETHERNET,139|INTERNET,80|DEFAULT");
    EXPECT_EQ(portsOf(41), u"443|DEFAULT");
    EXPECT_EQ(portsOf(42), u"");
    EXPECT_EQ(system.addressQueries, 8);
    EXPECT_EQ(system.portTableReads, 0);
    EXPECT_EQ(system.openDuplicates, 0);
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
}

TEST_F(NetworkPass, WithoutAListNoRecordGetsAValue)
{
    system.addTcp(3, {0, 0, 0, 0}, 80);
    system.addHandle(3);
    EXPECT_EQ(portsOf(3), std::nullopt);

    system.handleTableReadable = false;
    EXPECT_FALSE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(3), std::nullopt);

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
    EXPECT_EQ(system.portTableReads, 0);
}

TEST_F(NetworkPass, HandlesThatCannotBeReadAreSkippedAndThePassGoesOn)
{
    system.addTcp(4, {0, 0, 0, 0}, 139);
    system.addTcp(4, {0, 0, 0, 0}, 445);
    system.addTcp(8, {0, 0, 0, 0}, 80).duplicable = false;
    system.addTcp(8, {0, 0, 0, 0}, 81);
    system.addTcp(8, {0, 0, 0, 0}, 5000).hangs = true;
    system.addTcp(8, {0, 0, 0, 0}, 82);
    system.addHandle(4);
    system.addHandle(4);
    system.unopenable.insert(4);

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(4), u"");
    EXPECT_EQ(portsOf(8), u"81|DEFAULT,82|DEFAULT");
    const std::u16string failed4 = u"Handle duplication of process 4 failed.\n";
    EXPECT_EQ(traced, (std::vector<std::u16string>{
                          failed4, failed4, u"Handle duplication of process 8 failed.\n",
                          u"Name query of handle 20 of process 8 did not answer; handle skipped.\n", failed4, failed4}));
    // One open per run of entries of the same process, whether it opens or not.
    EXPECT_EQ(system.processOpens, 3);
}

TEST_F(NetworkPass, AFullListKeepsTheFirstSocketsAndSaysSo)
{
    for (std::uint16_t port = 1; port <= 6; ++port)
        system.addTcp(port <= 4 ? 2 : 3, {0, 0, 0, 0}, port);  // six handles: room for three

    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(2), u"1|DEFAULT,2|DEFAULT,3|DEFAULT");
    EXPECT_EQ(portsOf(3), u"");
    EXPECT_EQ(traced,
              std::vector<std::u16string>{u"The socket list is full (3 entries); further sockets are not recorded.\n"});
}

TEST_F(NetworkPass, PortTablesStandInOnlyWhenNoSocketHandleExists)
{
    for (std::uint32_t processId : {12u, 12u, 12u, 14u, 14u, 14u, 14u, 16u, 16u, 16u})
        system.addHandle(processId, u"\\Device\\Afd");
    system.portTables = std::vector<PortTableRow>{
        {12, {{0, 0, 0, 0}, 80}}, {12, {{127, 0, 0, 1}, 1025}}, {14, {{192, 168, 1, 5}, 139}},
        {12, {{0, 0, 0, 0}, 80}}, {0, {{0, 0, 0, 0}, 5355}},
    };
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(12), u"1025|LOOPBACK,80|DEFAULT");
    EXPECT_EQ(portsOf(14), u"139|ETHERNET");
    EXPECT_EQ(portsOf(16), u"");

    // A socket handle whose address cannot be read still means the pass worked.
    system.addHandle(16, u"\\Device\\Udp");
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(12), u"");
    EXPECT_EQ(system.portTableReads, 1);

    // Without the tables there is a list, only an empty one.
    system.handles.pop_back();
    system.portTables.reset();
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(12), u"");
}
