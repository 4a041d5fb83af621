#include <gtest/gtest.h>

#include <vector>

#include "core/scan/record.h"

using zorvane::ProcessRecord;

namespace {

std::vector<std::string> keysOf(const ProcessRecord& record)
{
    std::vector<std::string> keys;
    for (const auto& [key, value] : record)
        keys.push_back(key);
    return keys;
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

TEST(ProcessRecord, HintedIndexAccessFindsOrInsertsWhateverTheHint)
{
    ProcessRecord record;
    record["b"] = u"2";
    record["d"] = u"4";
    // The right position, a position too early, too late, and the end.
    EXPECT_EQ(record.at(record.begin(), "b"), u"2");
    record.at(record.begin(), "c") = u"3";
    record.at(record.begin(), "e") = u"5";
    record.at(record.end(), "a") = u"1";
    EXPECT_EQ(record.at(record.end(), "d"), u"4");
    EXPECT_EQ(keysOf(record), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(record["c"], u"3");
    EXPECT_EQ(record["e"], u"5");
}
