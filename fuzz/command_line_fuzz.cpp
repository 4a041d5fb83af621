// readCommandLine over arbitrary argument lists. The first input byte picks
// how the rest becomes text: odd reads UTF-16 code units (little endian),
// even widens bytes as Latin-1, which lets the fuzzer reach the options
// through plain text. A NUL unit separates the arguments.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/app/command_line.h"
#include "core/base/conversions.h"
#include "fuzz/fuzz_input.h"
#include "protocol/field_text.h"

using namespace zorvane;
using zorvane::fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::FuzzInput input(data, size);
    const bool utf16 = (input.takeByte() & 1) != 0;
    const std::u16string text = utf16 ? input.restAsUtf16() : widenLatin1(input.rest());
    const std::vector<std::u16string> arguments = protocol::splitText(text, u'\0');

    const RunSettings settings = readCommandLine(arguments);
    const RunSettings defaults;

    require(settings.port > 0 && settings.port <= 65535, "the port is a TCP port");
    require(!settings.host.empty(), "the host is never empty");
    require(!settings.submitPathTemplate.empty() && !settings.initialisePath.empty(),
            "the request paths are never empty");

    // Options are prefix tests in order, the last one winning: the same
    // list given twice reads the same, and an option-free list reads as
    // the defaults.
    std::vector<std::u16string> twice = arguments;
    twice.insert(twice.end(), arguments.begin(), arguments.end());
    require(readCommandLine(twice) == settings, "repeating the arguments changes nothing");
    bool anyOption = false;
    for (const std::u16string& argument : arguments)
        anyOption = anyOption || (!argument.empty() && argument.front() == u'/');
    require(anyOption || settings == defaults, "a list without options gives the defaults");
    return 0;
}
