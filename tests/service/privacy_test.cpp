// A report is reachable only through its exact id: ids carry 128 random
// bits, nothing lists them, and a wrong id gets the same answer whether or
// not other scans exist.

#include <bitset>

#include "service/scan_id.h"
#include "service_fixture.h"

namespace zorvane::testing {
namespace {

int sextet(char c)
{
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    return static_cast<int>(kAlphabet.find(c));
}

// Everything of a reply that could tell two wrong ids apart.
std::string answer(const httplib::Result& res)
{
    if (!res)
        return "no reply";
    std::string text = std::to_string(res->status) + "\n";
    for (const auto& [name, value] : res->headers)
        if (name != "Date")
            text += name + ": " + value + "\n";
    return text + "\n" + res->body;
}

ClientScan oneProcessScan(std::u16string md5)
{
    ClientScan scan;
    scan.records = {makeRecord({u"C:\\Tools\\one.exe", std::move(md5)}, u"7")};
    return scan;
}

}  // namespace

// 2000 ids as 132-bit numbers: each of the first 128 bits takes both values,
// the last four are the zero padding of the 22nd digit.
TEST(ScanIdRandomness, EveryOneOf128BitsVariesAndThePaddingIsZero)
{
    std::bitset<132> seenOne, seenZero;
    for (int i = 0; i < 2000; ++i) {
        auto id = service::newScanId();
        ASSERT_TRUE(id && id->size() == 22);
        for (std::size_t d = 0; d < 22; ++d) {
            int value = sextet((*id)[d]);
            ASSERT_GE(value, 0) << *id;
            for (int b = 0; b < 6; ++b)
                ((value >> (5 - b)) & 1 ? seenOne : seenZero).set(d * 6 + b);
        }
    }
    for (std::size_t bit = 0; bit < 128; ++bit) {
        EXPECT_TRUE(seenOne[bit] && seenZero[bit]) << "bit " << bit << " never changes";
    }
    for (std::size_t bit = 128; bit < 132; ++bit)
        EXPECT_FALSE(seenOne[bit]) << "padding bit " << bit;
}

TEST_F(ServiceTest, NothingListsTheReports)
{
    std::vector<std::string> ids;
    for (auto md5 : {u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa1", u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa2"}) {
        ClientScan scan = oneProcessScan(md5);
        initialise(scan);
        ASSERT_EQ(submit(scan, scan.submitFields())->status, 200);
        ids.push_back(scan.scanId());
    }
    for (const char* path :
         {"/scan", "/scan/", "/scans", "/scans/", "/scan/.json", "/scan/.csv", "/scan/*", "/scan/%2A", "/scan/?all=1",
          "/scan//", "/corvelle", "/corvelle/", "/corvelle/initialisescan", "/corvelle/scans", "/report/", "/reports",
          "/api/scans", "/var/", "/var/zorvane.sqlite", "/scans.sqlite", "/.git/", "/zorvaneeula/../scan/"}) {
        auto res = get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path;
        for (const std::string& id : ids)
            EXPECT_EQ(res->body.find(id), std::string::npos) << path << " names a scan";
    }
    for (const char* page : {"/", "/zorvaneeula/"}) {
        auto res = get(page);
        ASSERT_TRUE(res && res->status == 200) << page;
        for (const std::string& id : ids)
            EXPECT_EQ(res->body.find(id), std::string::npos) << page << " names a scan";
    }
}

TEST_F(ServiceTest, AWrongIdGetsTheSameAnswerWhetherOrNotScansExist)
{
    const std::string neverUsed = "Zorvane0neverUsed0000A";
    const std::vector<std::string> suffixes = {"", ".json", ".csv"};
    std::vector<std::string> emptyStore;
    for (const auto& suffix : suffixes)
        emptyStore.push_back(answer(get("/scan/" + neverUsed + suffix)));

    ClientScan stored = oneProcessScan(u"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb1");
    initialise(stored);
    ASSERT_EQ(submit(stored, stored.submitFields())->status, 200);
    ClientScan pending = oneProcessScan(u"bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb2");
    initialise(pending);

    std::string nearMiss = stored.scanId();
    nearMiss[5] = nearMiss[5] == 'A' ? 'B' : 'A';
    std::string caseChanged = stored.scanId();
    for (char& c : caseChanged)
        c = std::isupper(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c))
                                                        : static_cast<char>(std::toupper(c));
    for (std::size_t s = 0; s < suffixes.size(); ++s) {
        EXPECT_EQ(emptyStore[s].substr(0, 4), "404\n");
        for (const std::string& id : {neverUsed, nearMiss, caseChanged, pending.scanId(), stored.scanId() + "A",
                                      std::string("short")}) {
            if (id == stored.scanId())
                continue;
            EXPECT_EQ(answer(get("/scan/" + id + suffixes[s])), emptyStore[s]) << id << suffixes[s];
        }
        EXPECT_EQ(get("/scan/" + stored.scanId() + suffixes[s])->status, 200);
    }

    // Submitting to an id that was never given out, or to one spelt
    // differently, gives one answer too.
    auto fields = stored.submitFields();
    std::vector<std::string> refusals;
    for (const std::string& id : {neverUsed, nearMiss}) {
        fields["scan_id"] = id;
        refusals.push_back(answer(post("/corvelle/" + id + "/submitscan", protocol::buildBody(fields))));
    }
    EXPECT_EQ(refusals[0].substr(0, 4), "404\n");
    EXPECT_EQ(refusals[0], refusals[1]);
}

}  // namespace zorvane::testing
