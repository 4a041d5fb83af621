// The rules by which two scans of one machine differ, and how a change is
// kept and read back.

#include <gtest/gtest.h>

#include "service/change.h"

namespace zorvane::service {
namespace {

RecordFacts process(std::string path, std::string md5 = "", std::string ports = "")
{
    return RecordFacts{std::move(path), std::move(md5), true, "", std::move(ports)};
}

RecordFacts file(std::string path, std::string md5)
{
    return RecordFacts{std::move(path), std::move(md5), false, "", ""};
}

RecordFacts startup(std::string entry)
{
    return RecordFacts{"C:\\run.exe", "", false, std::move(entry), ""};
}

TEST(ScanChangeTest, ComparesProcessesDigestsStartupAndPorts)
{
    using Strings = std::vector<std::string>;
    struct Case {
        const char* what;
        std::vector<RecordFacts> before, after;
        Strings started, gone, newStartup, newPorts;
        std::vector<std::string> changedPaths;
    };
    const Case kCases[] = {
        {"nothing changed, paths differ only in case",
         {process("C:\\App\\a.exe", "aa", "80|DEFAULT"), startup("C:\\run.exe (HKLM Run)")},
         {process("c:\\app\\A.EXE", "aa", "80|DEFAULT"), startup("c:\\RUN.exe (HKLM Run)")}, {}, {}, {}, {}, {}},
        {"one process started, one gone",
         {process("C:\\a.exe"), process("C:\\b.exe")},
         {process("C:\\a.exe"), process("C:\\c.exe")}, {"C:\\c.exe"}, {"C:\\b.exe"}, {}, {}, {}},
        {"a second instance is no new process", {process("C:\\a.exe")}, {process("C:\\a.exe"), process("C:\\a.exe")},
         {}, {}, {}, {}, {}},
        {"a file's digest changed at its path; a file without digest is no change",
         {file("C:\\x.dll", "11"), file("C:\\y.dll", "22"), file("C:\\z.dll", "33")},
         {file("C:\\x.dll", "12"), file("C:\\y.dll", "22"), file("C:\\z.dll", "")}, {}, {}, {}, {}, {"C:\\x.dll"}},
        {"a new startup entry", {startup("C:\\run.exe (HKLM Run)")},
         {startup("C:\\run.exe (HKLM Run)"), startup("C:\\run.exe (HKCU Run)")}, {}, {}, {"C:\\run.exe (HKCU Run)"}, {},
         {}},
        {"a new port of a process, an old one closed",
         {process("C:\\s.exe", "", "135|DEFAULT,80|LOOPBACK")},
         {process("C:\\s.exe", "", "445|INTERNET,80|LOOPBACK")}, {}, {}, {}, {"C:\\s.exe 445|INTERNET"}, {}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        ScanChange change = compareScans(c.before, c.after);
        EXPECT_EQ(change.started, c.started);
        EXPECT_EQ(change.gone, c.gone);
        EXPECT_EQ(change.newStartup, c.newStartup);
        EXPECT_EQ(change.newPorts, c.newPorts);
        Strings changed;
        for (const DigestChange& d : change.digestChanged)
            changed.push_back(d.path);
        EXPECT_EQ(changed, c.changedPaths);
    }
}

TEST(ScanChangeTest, IsKeptAsJsonAndReadBackSafely)
{
    ScanChange change = compareScans({file("C:\\x.dll", "11"), process("C:\\gone.exe")},
                                     {file("C:\\x.dll", "12"), process("C:\\\xE2\x80\x9Cnew\xE2\x80\x9D.exe", "", "53|DEFAULT")});
    change.previousScanId = "abc";
    change.previousSubmittedAt = "2026-12-08 10:00:00";
    change.newFiles = {9, 3};
    auto back = changeFromJson(changeToJson(change));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->previousScanId, "abc");
    EXPECT_EQ(back->started, change.started);
    EXPECT_EQ(back->gone, change.gone);
    EXPECT_EQ(back->newPorts, change.newPorts);
    ASSERT_EQ(back->digestChanged.size(), 1u);
    EXPECT_EQ(back->digestChanged[0].before, "11");
    EXPECT_TRUE(back->isNewFile(3) && back->isNewFile(9) && !back->isNewFile(4));

    // A value that is not valid UTF-8 is kept as a replacement character.
    ScanChange odd;
    odd.previousScanId = "p";
    odd.started = {"C:\\\xFF.exe"};
    ASSERT_TRUE(changeFromJson(changeToJson(odd)));
    for (const char* text : {"", "[]", "{}", "{\"previousScanId\":5}", "{\"previousScanId\":\"p\",\"newFiles\":\"x\"}"})
        EXPECT_EQ(changeFromJson(text).has_value(), std::string_view(text).find("\"p\"") != std::string_view::npos)
            << text;
}

}  // namespace
}  // namespace zorvane::service
