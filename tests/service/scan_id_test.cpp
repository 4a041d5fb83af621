#include <gtest/gtest.h>

#include <set>

#include "service/scan_id.h"

using zorvane::service::isScanIdSyntax;
using zorvane::service::newScanId;

TEST(ScanId, IsUrlSafeCarries128BitsAndDoesNotRepeat)
{
    std::set<std::string> seen;
    for (int i = 0; i < 2000; ++i) {
        auto id = newScanId();
        ASSERT_TRUE(id);
        ASSERT_EQ(id->size(), 22u);
        EXPECT_TRUE(isScanIdSyntax(*id)) << *id;
        EXPECT_EQ(id->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
        seen.insert(*id);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

TEST(ScanId, SyntaxRefusesOtherLengthsAndCharacters)
{
    EXPECT_FALSE(isScanIdSyntax(""));
    EXPECT_FALSE(isScanIdSyntax("AAAAAAAAAAAAAAAAAAAAA"));
    EXPECT_FALSE(isScanIdSyntax("AAAAAAAAAAAAAAAAAAAAAAA"));
    EXPECT_FALSE(isScanIdSyntax("AAAAAAAAAA/AAAAAAAAAAA"));
    EXPECT_FALSE(isScanIdSyntax("AAAAAAAAAA%AAAAAAAAAAA"));
    EXPECT_TRUE(isScanIdSyntax("AAAAAAAAAA-AAAAAAAAA_A"));
}
