#include <gtest/gtest.h>

#include "core/base/conversions.h"
#include "protocol/abbreviations.h"

namespace zorvane::protocol {
namespace {

const AbbreviationList& listOf(std::string_view key)
{
    for (const auto& list : kAbbreviations)
        if (list.key == key)
            return list;
    throw std::logic_error("no list");
}

}  // namespace

// The first occurrence of each fragment, in list order, becomes its
// placeholder and the value is lower-cased; expanding gives the lower-cased
// value back.
TEST(Abbreviations, RoundTrip)
{
    struct Case {
        std::string_view key;
        std::u16string_view value, sent, restored;
    };
    const Case cases[] = {
        {"path.lpath", u"%windir%\\assembly\\x", u"%(a)sassembly\\x", u"%windir%\\assembly\\x"},
        {"path.path", u"C:\\Windows\\System32\\x.dll", u"%(3)ssystem32\\x.dll", u"c:\\windows\\system32\\x.dll"},
        {"path.path", u"E:\\WINDOWS\\x;e:\\windows\\y", u"%(7)sx;e:\\windows\\y", u"e:\\windows\\x;e:\\windows\\y"},
        {"reg.DependOnService", u"RpcSs", u"2", u"rpcss"},
        {"reg.DependOnService", u"Tcpip,Dhcp,Other", u"3,10,other", u"tcpip,dhcp,other"},
        {"reg.Location", u"SYSTEM\\CurrentControlSet\\Services\\Foo", u"%(0)sfoo",
         u"system\\currentcontrolset\\services\\foo"},
        {"wmi.StartupLocation", u"HKLM\\SOFTWARE\\Microsoft\\Windows\\Run", u"%(0)srun",
         u"hklm\\software\\microsoft\\windows\\run"},
        {"path.path", u"Z:\\Tools\\X.exe", u"Z:\\Tools\\X.exe", u"Z:\\Tools\\X.exe"},
        {"path.lpath", u"", u"", u""},
    };
    for (const Case& c : cases) {
        ProcessRecord record;
        record[c.key] = c.value;
        abbreviateValues(record);
        EXPECT_EQ(toUtf8(record[c.key]), toUtf8(c.sent)) << c.key << " " << toUtf8(c.value);
        EXPECT_EQ(toUtf8(expandAbbreviations(listOf(c.key), record[c.key])), toUtf8(c.restored)) << c.key;
    }
    // Every fragment of every list, alone, comes back.
    for (const AbbreviationList& list : kAbbreviations) {
        for (const std::u16string_view fragment : list.fragments) {
            ProcessRecord record;
            record[list.key] = fragment;
            abbreviateValues(record);
            EXPECT_EQ(toUtf8(expandAbbreviations(list, record[list.key])), toUtf8(fragment)) << list.key;
        }
    }
}

TEST(ExpandAbbreviations, RestoresWhatTheEncoderReplaced)
{
    struct Case {
        std::string_view key;
        std::u16string_view sent, expected;
    };
    const Case cases[] = {
        {"path.path", u"%(3)ssystem32\\x.dll", u"c:\\windows\\system32\\x.dll"},
        {"path.path", u"%(1)sapp", u"c:\\program files\\app"},
        {"path.path", u"Z:\\Mixed\\Case", u"Z:\\Mixed\\Case"},
        {"path.lpath", u"%(a)sassembly\\x", u"%windir%\\assembly\\x"},
        {"path.lpath", u"%(8)s", u"%system%\\"},
        {"wmi.StartupLocation", u"%(0)scurrentversion\\run", u"hklm\\software\\microsoft\\windows\\currentversion\\run"},
        {"reg.Location", u"%(0)splugplay", u"system\\currentcontrolset\\services\\plugplay"},
        {"reg.DependOnService", u"2", u"rpcss"},
        {"reg.DependOnService", u"10", u"dhcp"},
        {"reg.DependOnService", u"3,10,other", u"tcpip,dhcp,other"},
        {"reg.DependOnService", u"Winmgmt", u"Winmgmt"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expandAbbreviations(listOf(c.key), c.sent), c.expected) << c.key;
}

TEST(ExpandAbbreviations, KeepsAmbiguousTextAsSent)
{
    struct Case {
        std::string_view key;
        std::u16string_view sent;
    };
    const Case cases[] = {
        {"path.path", u"%(3)sa%(3)s"},           // each fragment is replaced once only
        {"path.path", u"%(9)sx"},                // no fragment 9
        {"reg.Location", u"%(1)sx"},             // the list has one fragment
        {"reg.DependOnService", u"36"},          // "tcpip6" or two services?
        {"reg.DependOnService", u"x2"},          // digits mixed with text
        {"reg.DependOnService", u"02"},
        {"reg.DependOnService", u"2,2"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expandAbbreviations(listOf(c.key), c.sent), c.sent) << c.key;

    // Text that merely looks like a placeholder is not one.
    EXPECT_EQ(expandAbbreviations(listOf("path.path"), u"%(03)s %(x)s %(3) %("), u"%(03)s %(x)s %(3) %(");
}

}  // namespace zorvane::protocol
