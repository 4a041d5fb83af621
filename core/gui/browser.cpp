#include "core/gui/browser.h"

#include "core/base/run_settings.h"

namespace zorvane {

namespace {

char16_t foldAscii(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool startsWithFolded(std::u16string_view text, std::u16string_view lowerPrefix)
{
    if (text.size() < lowerPrefix.size())
        return false;
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
        if (foldAscii(text[i]) != lowerPrefix[i])
            return false;
    }
    return true;
}

}  // namespace

std::u16string browserProgramFromCommand(std::u16string_view commandText)
{
    if (!commandText.empty() && commandText.front() == u'"') {
        const std::u16string_view rest = commandText.substr(1);
        return std::u16string(rest.substr(0, rest.find(u'"')));
    }
    return std::u16string(commandText.substr(0, commandText.find(u' ')));
}

bool isWebAddress(std::u16string_view address)
{
    if (!startsWithFolded(address, u"http://") && !startsWithFolded(address, u"https://"))
        return false;
    for (const char16_t c : address) {
        if (c <= u' ' || c == u'"' || c == 0x7F)
            return false;
    }
    return true;
}

std::u16string agreementAddress()
{
    return u"http://" + defaultHostName() + u"/zorvaneeula/";
}

}  // namespace zorvane
