// The command-text paths of PathOperations over arbitrary texts, with the
// staged Windows of the native tests plus variables that would loop or grow
// if an expanded value were expanded again. The first input byte picks the
// operation; the rest is UTF-16 (little endian) or, for an even second byte,
// Latin-1 so that the fuzzer reaches "%name%" tokens and paths easily.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/base/conversions.h"
#include "core/extractors/path_operations.h"
#include "fuzz/fuzz_input.h"
#include "tests/fakes/fake_path_system.h"

using namespace zorvane;
using zorvane::fuzz::require;

namespace {

fakes::FakePathSystem stagedWindows()
{
    fakes::FakePathSystem fake = fakes::FakePathSystem::typicalWindows();
    fake.setEnvironment(u"SELF", u"%SELF%")
        .setEnvironment(u"PERCENT", u"%")
        .setEnvironment(u"EMPTY", u"")
        .setEnvironment(u"APPDIR", u"C:\\Program Files\\My App")
        .addFile(u"C:\\Program Files\\My App\\run me.exe")
        .addFile(u"C:\\Program Files\\My App\\helper.dll")
        .addShortName(u"C:\\PROGRA~1", u"C:\\Program Files")
        .setDriveType(u'E', DriveType::Cdrom);
    return fake;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    const std::uint8_t operation = input.takeByte() % 4;
    const bool utf16 = (input.takeByte() & 1) != 0;
    const std::u16string original = utf16 ? input.restAsUtf16() : widenLatin1(input.rest());

    // Staged once: the fake only answers lookups. Its query records are
    // reset so that they neither grow nor overflow over a long run.
    static fakes::FakePathSystem fake = stagedWindows();
    fake.searchedNames.clear();
    fake.folderQueries = fake.environmentQueries = fake.driveQueries = 0;
    PathOperations paths(fake);
    std::u16string text = original;

    switch (operation) {
    case 0: {
        paths.expandEnvironmentTokens(text);
        // No staged value is longer than 64 units and each token is at least
        // two, so a single pass cannot grow the text further than this.
        require(text.size() <= original.size() * 32 + 64, "expansion is a single pass");
        if (original.find(u'%') == std::u16string::npos)
            require(text == original, "a text without tokens stays");
        std::u16string again = original;
        paths.expandEnvironmentTokens(again);
        require(again == text, "the cached values expand as the first lookups did");
        break;
    }
    case 1: {
        const bool resolved = paths.resolveCommandFile(text);
        if (!resolved) {
            require(text == original, "an unresolved command is unchanged");
        } else {
            require(fake.longPathName(text).has_value(), "a resolved command names an existing file");
        }
        break;
    }
    case 2:
        paths.normalisePath(text);
        if (text.size() >= 2 && text[1] == u':')
            require(!(text[0] >= u'a' && text[0] <= u'z'), "a drive letter is upper case");
        break;
    case 3:
        paths.generalisePath(text);
        break;
    }
    return 0;
}
