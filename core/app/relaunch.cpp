#include "core/app/relaunch.h"

#include <algorithm>

namespace zorvane {

std::u16string_view argumentsAfterProgram(std::u16string_view commandLine)
{
    std::size_t end = 0;
    if (!commandLine.empty() && commandLine.front() == u'"') {
        const auto quote = commandLine.find(u'"', 1);
        end = quote == std::u16string_view::npos ? commandLine.size() : quote + 1;
    } else {
        end = std::min(commandLine.find_first_of(u" \t"), commandLine.size());
    }
    const auto rest = commandLine.find_first_not_of(u" \t", end);
    return rest == std::u16string_view::npos ? std::u16string_view{} : commandLine.substr(rest);
}

std::u16string childCommandLine(const std::u16string& program, std::u16string_view arguments)
{
    std::u16string line = u"\"" + program + u"\"";
    if (!arguments.empty()) {
        line += u' ';
        line += arguments;
    }
    return line;
}

RelaunchResult relaunchAs64Bit(RelaunchSystem& system, std::u16string_view commandLine)
{
    if (!system.runsUnderWow64())
        return {};
    RelaunchResult failed{RelaunchResult::Outcome::Failed, 0};
    const auto image = system.embeddedImage();
    if (image.empty())
        return failed;
    const auto folder = system.createPrivateFolder();
    if (!folder)
        return failed;

    const std::u16string program = *folder + u"\\" + std::u16string(kEmbeddedClientName);
    std::optional<std::uint32_t> exitCode;
    if (system.writeNewFile(program, image)) {
        const auto written = system.readWholeFile(program);
        if (written && std::equal(written->begin(), written->end(), image.begin(), image.end()))
            exitCode = system.runAndWait(program, childCommandLine(program, argumentsAfterProgram(commandLine)));
        // The file may be absent when writing failed half-way; removing the
        // folder is what matters, and it fails while the file is left.
        system.deleteFile(program);
    }
    system.removeFolder(*folder);
    if (!exitCode)
        return failed;
    return {RelaunchResult::Outcome::Ran, *exitCode};
}

}  // namespace zorvane
