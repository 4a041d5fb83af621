#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/base/keys.h"
#include "core/base/trace.h"
#include "core/extractors/network_info.h"
#include "tests/fakes/fake_network_system.h"

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

// An IPv6 address from its eight 16-bit groups.
Ipv6Address v6(std::array<std::uint16_t, 8> groups)
{
    Ipv6Address address{};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        address[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        address[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
    }
    return address;
}

void putLe(std::vector<std::uint8_t>& buffer, std::size_t at, std::uint64_t value, std::size_t bytes)
{
    for (std::size_t i = 0; i < bytes; ++i)
        buffer[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Where each field of a handle table sits, byte offsets as the systems
// define them.
struct HandleTableLayout {
    const char* name;
    std::size_t pointerSize;
    bool extended;
    std::size_t countBytes, firstEntry, entrySize;
    std::size_t processIdAt, processIdBytes, handleAt, handleBytes, accessAt, typeAt, typeBytes;
};

constexpr HandleTableLayout kHandleTableLayouts[] = {
    {"classic, 32-bit", 4, false, 4, 4, 16, 0, 4, 6, 2, 12, 4, 1},
    {"classic, 64-bit", 8, false, 4, 8, 24, 0, 4, 6, 2, 16, 4, 1},
    {"extended, 32-bit", 4, true, 4, 8, 28, 4, 4, 8, 4, 12, 18, 2},
    {"extended, 64-bit", 8, true, 8, 16, 40, 8, 8, 16, 8, 24, 30, 2},
};

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

TEST(NetworkAddressClass, AnIpv6AddressTakesTheClassOfItsIpv4Counterpart)
{
    const Ipv4Address proxy{192, 168, 1, 5};
    const struct {
        Ipv6Address address;
        std::optional<Ipv4Address> proxy;
        std::string_view expected;
    } cases[] = {
        {v6({0, 0, 0, 0, 0, 0, 0, 0}), {}, "DEFAULT"},
        {v6({0, 0, 0, 0, 0, 0, 0, 1}), {}, "LOOPBACK"},
        {v6({0, 0, 0, 0, 0, 0, 0x7F00, 1}), {}, "INTERNET"},  // IPv4-compatible, not mapped
        {v6({0xFE80, 0, 0, 0, 0x0211, 0x22FF, 0xFE33, 0x4455}), {}, "ETHERNET"},
        {v6({0xFEBF, 0, 0, 0, 0, 0, 0, 1}), {}, "ETHERNET"},
        {v6({0xFEC0, 0, 0, 0, 0, 0, 0, 1}), {}, "INTERNET"},
        {v6({0xFC00, 0, 0, 0, 0, 0, 0, 1}), {}, "ETHERNET"},
        {v6({0xFD12, 0x3456, 0x789A, 1, 0, 0, 0, 1}), {}, "ETHERNET"},
        {v6({0xFE00, 0, 0, 0, 0, 0, 0, 1}), {}, "INTERNET"},
        {v6({0x2001, 0x0DB8, 0, 0, 0, 0, 0, 1}), {}, "INTERNET"},
        {v6({0, 0, 0, 0, 0, 0xFFFF, 0x7F00, 0x0001}), {}, "LOOPBACK"},
        {v6({0, 0, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF}), {}, "BROADCAST"},
        {v6({0, 0, 0, 0, 0, 0xFFFF, 0x0A00, 0x0001}), {}, "ETHERNET"},
        {v6({0, 0, 0, 0, 0, 0xFFFF, 0xC0A8, 0x0105}), proxy, "INTERNET"},
        {v6({0, 0, 0, 0, 0, 0xFFFE, 0xC0A8, 0x0105}), {}, "INTERNET"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        EXPECT_EQ(addressClassName(classifyAddress(c.address, c.proxy)), c.expected);
    }
}

TEST(NetworkParsers, HandleTablesAtBothPointerSizes)
{
    for (const HandleTableLayout& layout : kHandleTableLayouts) {
        SCOPED_TRACE(layout.name);
        const auto parse = [&layout](const std::vector<std::uint8_t>& buffer, std::size_t size,
                                     std::size_t pointerSize) {
            return layout.extended ? parseExtendedHandleTable(buffer.data(), size, pointerSize)
                                   : parseSystemHandleTable(buffer.data(), size, pointerSize);
        };
        // Every byte no field claims (padding, object addresses) is set, so
        // that a field read at the wrong offset shows.
        std::vector<std::uint8_t> table(layout.firstEntry + 2 * layout.entrySize, 0xA5);
        putLe(table, 0, 50, layout.countBytes);  // claims 50 entries, holds 2
        const std::uint64_t topBit = std::uint64_t{1} << (8 * layout.handleBytes - 1);
        for (std::size_t i = 0; i < 2; ++i) {
            const std::size_t at = layout.firstEntry + i * layout.entrySize;
            putLe(table, at + layout.processIdAt, 0x1234 + i, layout.processIdBytes);
            putLe(table, at + layout.handleAt, topBit | (0x01C8 + 4 * i), layout.handleBytes);
            putLe(table, at + layout.accessAt, 0x0012019F, 4);
            putLe(table, at + layout.typeAt, 28, layout.typeBytes);
        }
        const auto entries = parse(table, table.size(), layout.pointerSize);
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[1].processId, 0x1235u);
        EXPECT_EQ(entries[1].handle, topBit | 0x01CC);
        EXPECT_EQ(entries[1].grantedAccess, 0x0012019Fu);
        EXPECT_EQ(entries[1].objectType, 28);
        EXPECT_EQ(parse(table, table.size() - 1, layout.pointerSize).size(), 1u);
        EXPECT_TRUE(parse(table, layout.firstEntry - 1, layout.pointerSize).empty());
        EXPECT_TRUE(parse(table, table.size(), 6).empty());
    }
}

TEST(NetworkParsers, LengthsBeyondTheBufferAreCut)
{
    std::uint8_t info[128] = {};
    const std::uint8_t portAndAddress[6] = {0x04, 0x01, 192, 168, 1, 5};  // port 1025, network order
    std::memcpy(info + 12, portAndAddress, sizeof portAndAddress);
    const auto local = parseTdiAddressInfo(info, sizeof info);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->port, 1025);
    EXPECT_EQ(local->address, (std::variant<Ipv4Address, Ipv6Address>{Ipv4Address{192, 168, 1, 5}}));
    EXPECT_FALSE(parseTdiAddressInfo(info, 17));

    // The name follows a UNICODE_STRING: 8 bytes with 32-bit pointers, 16 with 64.
    const std::u16string tcp = u"\\Device\\Tcp";
    for (const auto& [pointerSize, header] : {std::pair<std::size_t, std::size_t>{4, 8}, {8, 16}}) {
        SCOPED_TRACE(pointerSize);
        std::vector<std::uint8_t> name(header + 2 * tcp.size(), 0xA5);
        putLe(name, 0, 0xFFFF, 2);  // claims more than is there
        for (std::size_t i = 0; i < tcp.size(); ++i)
            putLe(name, header + 2 * i, tcp[i], 2);
        EXPECT_EQ(parseObjectNameInformation(name.data(), name.size(), pointerSize), tcp);
        EXPECT_EQ(parseObjectNameInformation(name.data(), header + 7, pointerSize), u"\\De");
        EXPECT_EQ(parseObjectNameInformation(name.data(), header - 1, pointerSize), u"");
    }
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
        {12, {Ipv4Address{0, 0, 0, 0}, 80}},    {12, {Ipv4Address{127, 0, 0, 1}, 1025}},
        {14, {Ipv4Address{192, 168, 1, 5}, 139}}, {12, {Ipv4Address{0, 0, 0, 0}, 80}},
        {0, {Ipv4Address{0, 0, 0, 0}, 5355}},
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

TEST_F(NetworkPass, WhereSocketsAreNoHandlesOnlyThePortTablesAreRead)
{
    system.socketsAreHandles = false;
    system.addTcp(12, {0, 0, 0, 0}, 81);  // never examined
    system.proxyServer = u"192.168.1.5:8080";
    system.portTables = std::vector<PortTableRow>{
        {12, {Ipv4Address{0, 0, 0, 0}, 80}},
        {12, {v6({0, 0, 0, 0, 0, 0, 0, 0}), 80}},
        {12, {v6({0, 0, 0, 0, 0, 0, 0, 1}), 1025}},
        {14, {v6({0xFE80, 0, 0, 0, 0, 0, 0, 7}), 139}},
        {14, {v6({0, 0, 0, 0, 0, 0xFFFF, 0xC0A8, 0x0105}), 3128}},
        {14, {v6({0x2001, 0x0DB8, 0, 0, 0, 0, 0, 1}), 443}},
    };
    // More rows than half the handle table: the tables are not bounded by it.
    ASSERT_TRUE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(12), u"1025|LOOPBACK,80|DEFAULT");
    EXPECT_EQ(portsOf(14), u"139|ETHERNET,3128|INTERNET,443|INTERNET");
    EXPECT_EQ(system.handleTableReads, 0);
    EXPECT_EQ(system.processOpens, 0);
    EXPECT_EQ(system.addressQueries, 0);
    EXPECT_TRUE(traced.empty());

    // Without the tables nothing is known: no list, no value.
    system.portTables.reset();
    EXPECT_FALSE(extractor.collectSocketTable());
    EXPECT_EQ(portsOf(12), std::nullopt);
}
