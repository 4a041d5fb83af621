#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/base/record.h"

using zorvane::ProcessRecord;
using zorvane::RecordKey;

namespace {

std::vector<std::string> keysOf(const ProcessRecord& record)
{
    std::vector<std::string> keys;
    for (const auto& [key, value] : record)
        keys.emplace_back(key);
    return keys;
}

int sign(int value) { return (value > 0) - (value < 0); }

// RecordKey orders exactly as std::string_view does: unsigned bytes, a
// prefix first.
void expectPlainOrder(const std::string& a, const std::string& b)
{
    EXPECT_EQ(sign(RecordKey(a).compare(RecordKey(b))), sign(std::string_view(a).compare(b)))
        << testing::PrintToString(a) << " against " << testing::PrintToString(b);
}

}  // namespace

TEST(ProcessRecord, IndexReadInsertsAnEmptyValue)
{
    ProcessRecord record;
    EXPECT_EQ(record["reg.Location"], u"");
    ASSERT_TRUE(record.contains("reg.Location"));
    EXPECT_EQ(*record.find("reg.Location"), u"");
    EXPECT_EQ(record.find("reg.Other"), nullptr);
}

TEST(ProcessRecord, IndexWriteReplacesButInsertIfAbsentKeeps)
{
    ProcessRecord record;
    record["moduleList"] = u"a";
    record["moduleList"] = u"b";
    EXPECT_FALSE(record.insertIfAbsent("moduleList", u"c"));
    EXPECT_EQ(record["moduleList"], u"b");
    EXPECT_TRUE(record.insertIfAbsent("moduleList2", u"d"));
    EXPECT_EQ(record["moduleList2"], u"d");
}

TEST(ProcessRecord, KeysOrderAsUnsignedBytesWithPrefixFirst)
{
    ProcessRecord record;
    record["path.pathFull"] = u"x";
    record["hash.md5"] = u"x";
    record["path.path"] = u"x";
    record["ERROR"] = u"x";
    record["\xE9"] = u"x";  // a byte above 0x7F sorts after every ASCII key
    EXPECT_EQ(keysOf(record),
              (std::vector<std::string>{"ERROR", "hash.md5", "path.path", "path.pathFull", "\xE9"}));
}

TEST(ProcessRecord, CopiesAreDeep)
{
    ProcessRecord original;
    original["a"] = u"1";
    ProcessRecord copy = original;
    copy["a"] = u"2";
    copy["b"] = u"3";
    EXPECT_EQ(original["a"], u"1");
    EXPECT_FALSE(original.contains("b"));
    copy.clear();
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(original.size(), 1u);
}

TEST(ProcessRecord, IndexAllInsertsTheAbsentKeysAndYieldsEveryValue)
{
    ProcessRecord record;
    record["b"] = u"2";
    record["d"] = u"4";
    // Absent keys before, between and after the present ones; the pointers
    // are all valid after the one insertion pass.
    using zorvane::RecordKey;
    const RecordKey keys[] = {RecordKey("a"), RecordKey("b"), RecordKey("c"), RecordKey("d"), RecordKey("e")};
    std::u16string* values[5] = {};
    record.indexAll(keys, values);
    EXPECT_EQ(keysOf(record), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(*values[1], u"2");
    EXPECT_EQ(*values[3], u"4");
    *values[0] = u"1";
    *values[2] = u"3";
    *values[4] = u"5";
    EXPECT_EQ(record["a"], u"1");
    EXPECT_EQ(record["c"], u"3");
    EXPECT_EQ(record["e"], u"5");

    // Nothing absent: nothing changes.
    const ProcessRecord before = record;
    const RecordKey present[] = {RecordKey("b"), RecordKey("e")};
    record.indexAll(present);
    EXPECT_EQ(record, before);
}

TEST(ProcessRecord, KeysLongerThanTheInlineRoomAndSharedPrefixes)
{
    // Keys that agree in their first eight bytes are told apart by the rest;
    // a key past 24 bytes lives on the heap and survives copies and moves.
    const std::string longKey(40, 'k');
    ProcessRecord record;
    record["wmi.PeakWorkingSetSize"] = u"1";
    record["wmi.PeakPageFileUsage"] = u"2";
    record["wmi.Peak"] = u"3";
    record[longKey + "b"] = u"4";
    record[longKey + "a"] = u"5";
    record[std::string_view("ab\0c", 4)] = u"6";
    record["ab"] = u"7";
    EXPECT_EQ(keysOf(record), (std::vector<std::string>{"ab", std::string("ab\0c", 4), longKey + "a", longKey + "b",
                                                        "wmi.Peak", "wmi.PeakPageFileUsage", "wmi.PeakWorkingSetSize"}));
    ProcessRecord copy = record;
    ProcessRecord moved = std::move(record);
    EXPECT_EQ(copy, moved);
    EXPECT_EQ(moved[longKey + "a"], u"5");
    EXPECT_EQ(*copy.find("wmi.PeakPageFileUsage"), u"2");
    EXPECT_EQ(copy.find(longKey), nullptr);
}

TEST(RecordKey, OrdersAsPlainStringsAroundTheInlineRoom)
{
    // Every length up to 40 (24 bytes are held inline): each byte raised,
    // lowered to 0 or raised to 0xFF, and the key against its one-byte-longer
    // extension.
    std::string base;
    for (std::size_t length = 0; length <= 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            for (const char replacement : {static_cast<char>(base[at] + 1), '\0', '\xFF'}) {
                std::string other = base;
                other[at] = replacement;
                expectPlainOrder(base, other);
                expectPlainOrder(other, base);
            }
        }
        const std::string longer = base + static_cast<char>('a' + length % 26);
        expectPlainOrder(base, longer);
        expectPlainOrder(longer, base);
        base = longer;
    }
}

TEST(RecordKey, OrdersAsPlainStringsOnRandomKeys)
{
    // Few distinct bytes, so that random keys often share long prefixes.
    std::mt19937 random(20261208);
    const char bytes[] = {'\0', 'a', 'b', '\x80', '\xFF'};
    const auto randomKey = [&] {
        std::string key(random() % 41, '\0');
        for (char& c : key)
            c = bytes[random() % sizeof bytes];
        return key;
    };
    for (int round = 0; round < 20000; ++round) {
        const std::string a = randomKey();
        std::string b = random() % 2 ? randomKey() : a;
        if (!b.empty())
            b[random() % b.size()] = bytes[random() % sizeof bytes];
        expectPlainOrder(a, b);
    }
}
