#include <gtest/gtest.h>

#include "protocol/columns.h"
#include "service/decoding.h"

namespace zorvane::service {
namespace {

const protocol::AbbreviationList& listOf(std::string_view key)
{
    for (const auto& list : protocol::kAbbreviations)
        if (list.key == key)
            return list;
    throw std::logic_error("no list");
}

}  // namespace

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

}  // namespace zorvane::service
