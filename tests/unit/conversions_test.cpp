#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "core/base/conversions.h"

using namespace zorvane;

TEST(Latin1, WidenAndNarrowKeepLengthAndMapOutOfRangeToSpace)
{
    EXPECT_EQ(widenLatin1("a\xE9\xFF"), std::u16string(u"a\u00E9\u00FF"));
    EXPECT_EQ(narrowLatin1(u"a\u00E9"), "a\xE9");
    EXPECT_EQ(narrowLatin1(u"\u0416x"), " x");
    EXPECT_EQ(narrowLatin1(u""), "");
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    EXPECT_EQ(narrowLatin1(widenLatin1(all)), all);
}

TEST(Utf8, EncodesEveryPlaneAndReplacesLoneSurrogates)
{
    struct Case {
        std::u16string in;
        std::string out;
    };
    const Case cases[] = {
        {u"", ""},
        {u"abc", "abc"},
        {u"\u00E9", "\xC3\xA9"},                       // é: the form a 2n-byte buffer cannot hold
        {u"\u0416", "\xD0\x96"},                       // Ж
        {u"\u4E2D\u6587", "\xE4\xB8\xAD\xE6\x96\x87"},  // CJK, three bytes each
        {u"\U0001F600", "\xF0\x9F\x98\x80"},            // a surrogate pair
        {std::u16string(1, char16_t(0xD800)), "\xEF\xBF\xBD"},             // lone high
        {std::u16string(1, char16_t(0xDC00)) + u"x", "\xEF\xBF\xBDx"},      // lone low
        {std::u16string{char16_t(0xD800), u'a'}, "\xEF\xBF\xBD" "a"},       // high then non-low
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},              // embedded zero kept
    };
    for (const Case& c : cases)
        EXPECT_EQ(toUtf8(c.in), c.out);
}

TEST(Utf8, DecodingRoundTripsAndRejectsMalformedInput)
{
    const std::u16string text = u"Caf\u00E9 \u0416 \u4E2D \U0001F600";
    EXPECT_EQ(fromUtf8(toUtf8(text)), text);
    EXPECT_EQ(fromUtf8("\xC0\xAF"), u"\uFFFD");          // overlong "/"
    EXPECT_EQ(fromUtf8("\xED\xA0\x80"), u"\uFFFD");      // encoded surrogate
    EXPECT_EQ(fromUtf8("\xE4\xB8"), u"\uFFFD");          // truncated
    EXPECT_EQ(fromUtf8("\xFFz"), u"\uFFFDz");            // invalid lead
    EXPECT_EQ(fromUtf8("\xF4\x90\x80\x80"), u"\uFFFD");  // above U+10FFFF
}

TEST(Decimal, FormatsSixtyFourBitValues)
{
    EXPECT_EQ(formatInt64(0), u"0");
    EXPECT_EQ(formatInt64(-1), u"-1");
    EXPECT_EQ(formatInt64(4294967295LL), u"4294967295");
    EXPECT_EQ(formatInt64(std::numeric_limits<std::int64_t>::min()), u"-9223372036854775808");
    EXPECT_EQ(formatInt64(std::numeric_limits<std::int64_t>::max()), u"9223372036854775807");
}

TEST(Decimal, ParsesLikeTheCLibraryAndSaturates)
{
    EXPECT_EQ(parseDecimalInt64(u"  \t-42xyz"), -42);
    EXPECT_EQ(parseDecimalInt64(u"+7"), 7);
    EXPECT_EQ(parseDecimalInt64(u"abc"), 0);
    EXPECT_EQ(parseDecimalInt64(u"-"), 0);
    EXPECT_EQ(parseDecimalInt64(u""), 0);
    EXPECT_EQ(parseDecimalInt64(u"4294967296"), 4294967296LL);
    EXPECT_EQ(parseDecimalInt64(u"99999999999999999999999"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(parseDecimalInt64(u"-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parseDecimalInt64(u"-99999999999999999999999"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(parseDecimalInt32(u"3000000000"), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(parseDecimalInt32(u"-3000000000"), std::numeric_limits<std::int32_t>::min());
}
