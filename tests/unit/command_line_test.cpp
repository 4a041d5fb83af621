#include <gtest/gtest.h>

#include "core/app/command_line.h"

using namespace zorvane;

namespace {

RunSettings read(std::initializer_list<const char16_t*> options)
{
    std::vector<std::u16string> arguments{u"C:\\zorvane.exe"};
    for (const char16_t* option : options)
        arguments.emplace_back(option);
    return readCommandLine(arguments);
}

}  // namespace

TEST(CommandLine, DefaultsWithoutOptions)
{
    const RunSettings settings = readCommandLine({});
    EXPECT_EQ(settings.host, u"localhost");
    EXPECT_EQ(settings.port, 80);
    EXPECT_EQ(settings.submitPathTemplate, u"corvelle/%s/submitscan");
    EXPECT_EQ(settings.initialisePath, u"corvelle/initialisescan");
    EXPECT_EQ(settings.recordLimit, -1);
    EXPECT_FALSE(settings.unattended);
    EXPECT_TRUE(settings.openBrowser);
    EXPECT_EQ(read({}), settings);
}

TEST(CommandLine, PortTakesOnlyAPositiveSixteenBitNumber)
{
    struct Case {
        const char16_t* option;
        std::int32_t port;
    };
    const Case cases[] = {
        {u"/port=8080", 8080}, {u"/port= +81", 81},    {u"/port=0", 80},      {u"/port=-5", 80},
        {u"/port=abc", 80},    {u"/port=", 80},        {u"/port=12ab", 12},   {u"/port=65535", 65535},
        {u"/port=65536", 80},  {u"/port=99999999999", 80},
    };
    for (const Case& c : cases)
        EXPECT_EQ(read({c.option}).port, c.port);
}

TEST(CommandLine, LimitTakesAnyNumberAndLettersGiveZero)
{
    EXPECT_EQ(read({u"/limit=25"}).recordLimit, 25);
    EXPECT_EQ(read({u"/limit=0"}).recordLimit, 0);
    EXPECT_EQ(read({u"/limit=-5"}).recordLimit, -5);
    EXPECT_EQ(read({u"/limit=abc"}).recordLimit, 0);
    EXPECT_EQ(read({u"/limit="}).recordLimit, -1);
}

TEST(CommandLine, OptionsArePrefixTestsAndTheLaterValueWins)
{
    const RunSettings settings = read({u"/host=first", u"/HOST=ignored", u"/host=second", u"/host=",
                                       u"/skipfastXYZ", u"/nobrowser=yes", u"unknown"});
    EXPECT_EQ(settings.host, u"second");
    EXPECT_TRUE(settings.unattended);
    EXPECT_FALSE(settings.openBrowser);
}

TEST(CommandLine, PathsAreTakenVerbatim)
{
    const RunSettings settings = read({u"/path=x/%s/y", u"/md5path=init/here", u"/path="});
    EXPECT_EQ(settings.submitPathTemplate, u"x/%s/y");
    EXPECT_EQ(settings.initialisePath, u"init/here");
}

TEST(CommandLine, TheProgramPathItselfIsExamined)
{
    EXPECT_TRUE(readCommandLine({u"/skipfast"}).unattended);
}
