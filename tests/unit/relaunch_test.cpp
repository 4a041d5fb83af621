// The hand-over from zorvane.exe to the 64-bit client it carries.
#include <gtest/gtest.h>

#include <map>

#include "core/app/relaunch.h"

using namespace zorvane;

namespace {

// Files in memory; each step can be made to fail, and every call is logged.
class FakeRelaunchSystem : public RelaunchSystem {
public:
    bool wow64 = true;
    std::vector<std::uint8_t> image{'M', 'Z', 1, 2, 3};
    std::string failing;       // the step that fails
    bool corruptWrite = false;  // the file on disk differs from what was written
    std::uint32_t childExit = 7;

    std::vector<std::string> calls;
    std::map<std::u16string, std::vector<std::uint8_t>> files;
    bool folderExists = false;
    std::u16string ranProgram, ranCommandLine;

    bool runsUnderWow64() override { return wow64; }
    std::span<const std::uint8_t> embeddedImage() override
    {
        return failing == "image" ? std::span<const std::uint8_t>{} : std::span<const std::uint8_t>(image);
    }
    std::optional<std::u16string> createPrivateFolder() override
    {
        if (!step("folder"))
            return std::nullopt;
        folderExists = true;
        return u"C:\\Temp\\zv1";
    }
    bool writeNewFile(const std::u16string& path, std::span<const std::uint8_t> bytes) override
    {
        if (!step("write"))
            return false;
        files[path].assign(bytes.begin(), bytes.end());
        if (corruptWrite)
            files[path].back() ^= 1;
        return true;
    }
    std::optional<std::vector<std::uint8_t>> readWholeFile(const std::u16string& path) override
    {
        if (!step("read") || !files.contains(path))
            return std::nullopt;
        return files[path];
    }
    std::optional<std::uint32_t> runAndWait(const std::u16string& program, const std::u16string& line) override
    {
        if (!step("run"))
            return std::nullopt;
        ranProgram = program;
        ranCommandLine = line;
        return childExit;
    }
    bool deleteFile(const std::u16string& path) override
    {
        calls.push_back("delete");
        return files.erase(path) == 1;
    }
    bool removeFolder(const std::u16string&) override
    {
        calls.push_back("remove");
        if (!files.empty())
            return false;
        folderExists = false;
        return true;
    }

private:
    bool step(const std::string& name)
    {
        calls.push_back(name);
        return failing != name;
    }
};

}  // namespace

TEST(Relaunch, HandsTheArgumentsAndTheExitCodeThroughAndLeavesNothingBehind)
{
    FakeRelaunchSystem system;
    const auto result = relaunchAs64Bit(system, u"\"C:\\Down loads\\zorvane.exe\"  /skipfast /host=a b");
    EXPECT_EQ(result.outcome, RelaunchResult::Outcome::Ran);
    EXPECT_EQ(result.exitCode, 7u);
    EXPECT_EQ(system.ranProgram, u"C:\\Temp\\zv1\\zorvane64.exe");
    EXPECT_EQ(system.ranCommandLine, u"\"C:\\Temp\\zv1\\zorvane64.exe\" /skipfast /host=a b");
    EXPECT_TRUE(system.files.empty());
    EXPECT_FALSE(system.folderExists);

    FakeRelaunchSystem native;
    native.wow64 = false;
    EXPECT_EQ(relaunchAs64Bit(native, u"zorvane.exe").outcome, RelaunchResult::Outcome::NotNeeded);
    EXPECT_TRUE(native.calls.empty());
}

TEST(Relaunch, AnyFailedStepFallsBackWithoutRunningAnUncheckedImageAndCleansUp)
{
    struct Case {
        std::string failing;
        bool corrupt;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"image", false, {}},
        {"folder", false, {"folder"}},
        {"write", false, {"folder", "write", "remove"}},
        {"read", false, {"folder", "write", "read", "delete", "remove"}},
        {"", true, {"folder", "write", "read", "delete", "remove"}},
        {"run", false, {"folder", "write", "read", "run", "delete", "remove"}},
    };
    for (const Case& c : cases) {
        FakeRelaunchSystem system;
        system.failing = c.failing;
        system.corruptWrite = c.corrupt;
        const auto result = relaunchAs64Bit(system, u"zorvane.exe /skipfast");
        EXPECT_EQ(result.outcome, RelaunchResult::Outcome::Failed) << c.failing << c.corrupt;
        EXPECT_EQ(system.calls, c.calls) << c.failing << c.corrupt;
        EXPECT_TRUE(system.ranProgram.empty() || c.failing == "run");
        EXPECT_TRUE(system.files.empty());
        EXPECT_FALSE(system.folderExists);
    }
}

TEST(Relaunch, ArgumentsAfterTheProgramNameFollowTheRuntimesRule)
{
    const std::pair<std::u16string_view, std::u16string_view> cases[] = {
        {u"zorvane.exe", u""},
        {u"zorvane.exe /a /b", u"/a /b"},
        {u"zorvane.exe\t /a", u"/a"},
        {u"\"C:\\a b\\zorvane.exe\"/a", u"/a"},
        {u"\"C:\\a b\\zorvane.exe\" \"/path=x y\"", u"\"/path=x y\""},
        {u"\"C:\\unterminated /a", u""},
        {u"", u""},
    };
    for (const auto& [line, arguments] : cases)
        EXPECT_EQ(argumentsAfterProgram(line), arguments) << std::string(line.begin(), line.end());
}
