#include <gtest/gtest.h>

#include "core/gui/browser.h"

using namespace zorvane;

TEST(BrowserProgram, QuotedPathLosesItsQuotesAndArguments)
{
    EXPECT_EQ(browserProgramFromCommand(u"\"C:\\Program Files\\Web Browser\\browser.exe\" -nohome \"%1\""),
              u"C:\\Program Files\\Web Browser\\browser.exe");
    EXPECT_EQ(browserProgramFromCommand(u"\"C:\\unterminated path\\browser.exe"), u"C:\\unterminated path\\browser.exe");
    EXPECT_EQ(browserProgramFromCommand(u"\"\" %1"), u"");
}

TEST(BrowserProgram, UnquotedTextIsCutAtTheFirstBlank)
{
    EXPECT_EQ(browserProgramFromCommand(u"C:\\Program Files\\browser.exe %1"), u"C:\\Program");
    EXPECT_EQ(browserProgramFromCommand(u"winebrowser.exe -nohome"), u"winebrowser.exe");
    EXPECT_EQ(browserProgramFromCommand(u"C:\\browser.exe"), u"C:\\browser.exe");
    // Only U+0020 separates: a tab belongs to the program text.
    EXPECT_EQ(browserProgramFromCommand(u"a\tb c"), u"a\tb");
}

TEST(BrowserProgram, EmptyCommandGivesEmptyProgram)
{
    EXPECT_EQ(browserProgramFromCommand(u""), u"");
    EXPECT_EQ(browserProgramFromCommand(u" leading blank"), u"");
}

TEST(WebAddress, OnlyHttpAndHttpsAreOpened)
{
    for (const char16_t* address : {u"http://127.0.0.1/results/1", u"https://example.test/", u"HTTP://HOST/",
                                    u"hTtPs://host/x?y=1", u"http://"}) {
        EXPECT_TRUE(isWebAddress(address)) << std::string(address, address + std::u16string_view(address).size());
    }
    for (const char16_t* address : {u"", u"C:\\Windows\\System32\\cmd.exe", u"\\\\host\\share\\x.exe", u"file:///C:/x.exe",
                                    u"http:/host", u"https:host", u" http://host/", u"httpx://host", u"ftp://host/",
                                    u"javascript:alert(1)", u"http:\\\\host\\share", u"\uFF48ttp://host/",
                                    u"http://host/ --new-window file:///C:/x.exe", u"http://host/\"a", u"http://host/\r\n",
                                    u"http://host/\t"}) {
        EXPECT_FALSE(isWebAddress(address)) << std::string(address, address + std::u16string_view(address).size());
    }
}

TEST(WebAddress, AgreementPageIsPlainHttpOnTheDefaultHost)
{
    EXPECT_EQ(agreementAddress(), u"http://localhost/zorvaneeula/");
    EXPECT_TRUE(isWebAddress(agreementAddress()));
}
