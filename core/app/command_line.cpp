#include "core/app/command_line.h"

#include <string_view>

#include "core/base/conversions.h"

namespace zorvane {

namespace {

// When `element` begins with `option`, sets `rest` to what follows it.
bool takeOption(std::u16string_view element, std::u16string_view option, std::u16string_view& rest)
{
    if (element.substr(0, option.size()) != option)
        return false;
    rest = element.substr(option.size());
    return true;
}

}  // namespace

RunSettings readCommandLine(const std::vector<std::u16string>& arguments)
{
    RunSettings settings;
    for (const std::u16string& argument : arguments) {
        const std::u16string_view element = argument;
        std::u16string_view rest;
        if (takeOption(element, u"/host=", rest)) {
            if (!rest.empty())
                settings.host = rest;
        } else if (takeOption(element, u"/path=", rest)) {
            if (!rest.empty())
                settings.submitPathTemplate = rest;
        } else if (takeOption(element, u"/md5path=", rest)) {
            if (!rest.empty())
                settings.initialisePath = rest;
        } else if (takeOption(element, u"/port=", rest)) {
            if (!rest.empty()) {
                // A TCP port is 16 bits: a larger number would wrap to
                // another port in the HTTP layer, so it is refused like 0.
                const std::int32_t port = parseDecimalInt32(rest);
                if (port > 0 && port <= 65535)
                    settings.port = port;
            }
        } else if (takeOption(element, u"/limit=", rest)) {
            if (!rest.empty())
                settings.recordLimit = parseDecimalInt32(rest);
        } else if (takeOption(element, u"/skipfast", rest)) {
            settings.unattended = true;
        } else if (takeOption(element, u"/nobrowser", rest)) {
            settings.openBrowser = false;
        }
    }
    return settings;
}

}  // namespace zorvane
