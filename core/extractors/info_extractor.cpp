#include "core/extractors/info_extractor.h"

#include <algorithm>
#include <array>

#include "core/base/conversions.h"
#include "core/base/keys.h"

namespace zorvane {

InfoExtractor::InfoExtractor(std::string_view name)
    : name_(name), prefix_(std::string(name) + "."), wideName_(widenLatin1(name_)), widePrefix_(widenLatin1(prefix_))
{
}

void InfoExtractor::onProcess(std::uint32_t) {}
void InfoExtractor::onImageBegin() {}
void InfoExtractor::onImageData(const std::uint8_t*, std::uint32_t) {}
void InfoExtractor::onImageEnd() {}
void InfoExtractor::extract(const std::u16string&) {}
void InfoExtractor::extractFromHandle(OpenFile&) {}

void InfoExtractor::setProperty(std::string_view field, std::u16string value)
{
    if (currentRecord_ == nullptr)
        return;
    // Keys are short: joined on the stack, so that no heap string is made
    // for a key longer than std::string's short buffer (most "ver." keys).
    std::array<char, 64> buffer;
    if (prefix_.size() + field.size() <= buffer.size()) {
        const auto end = std::copy(field.begin(), field.end(), std::copy(prefix_.begin(), prefix_.end(), buffer.begin()));
        (*currentRecord_)[std::string_view(buffer.data(), static_cast<std::size_t>(end - buffer.begin()))] =
            std::move(value);
        return;
    }
    std::string key;
    key.reserve(prefix_.size() + field.size());
    key += prefix_;
    key += field;
    (*currentRecord_)[key] = std::move(value);
}

std::u16string InfoExtractor::reportError(std::u16string_view format, std::initializer_list<FormatArg> args)
{
    std::u16string message = formatText(format, args);
    if (message.size() > kMaxErrorMessage) {
        std::size_t cut = kMaxErrorMessage;
        // Do not leave half a surrogate pair at the end.
        if (message[cut - 1] >= 0xD800 && message[cut - 1] <= 0xDBFF)
            --cut;
        message.resize(cut);
    }
    if (currentRecord_ != nullptr)
        appendError(*currentRecord_, wideName_, message);
    return message;
}

void appendError(ProcessRecord& record, std::u16string_view source, std::u16string_view message)
{
    std::u16string& error = record[keys::kError];
    if (!error.empty())
        error += u", ";
    error += source;
    error += u':';
    error += message;
}

}  // namespace zorvane
