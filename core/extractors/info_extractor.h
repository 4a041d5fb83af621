#pragma once
// The base of the seven extractors. The scan session binds a record and then
// sends events in a fixed order (see ScanSession); each extractor overrides
// only the events it needs and writes under its own "name." prefix.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "core/base/record.h"
#include "core/base/text_format.h"

namespace zorvane {

class OpenFile;

class InfoExtractor {
public:
    explicit InfoExtractor(std::string_view name);

    InfoExtractor(const InfoExtractor&) = delete;
    InfoExtractor& operator=(const InfoExtractor&) = delete;

    // Event slots, in slot order. Every default does nothing.
    virtual void onProcess(std::uint32_t processId);
    virtual void onImageBegin();
    virtual void onImageData(const std::uint8_t* data, std::uint32_t count);
    virtual void onImageEnd();
    virtual void extract(const std::u16string& path);
    virtual void extractFromHandle(OpenFile& file);

    // The session binds the record that the next events are about. The
    // extractor never keeps the pointer beyond the events for that record.
    void bind(ProcessRecord* record) { currentRecord_ = record; }
    ProcessRecord* currentRecord() const { return currentRecord_; }

    const std::string& name() const { return name_; }
    const std::string& prefix() const { return prefix_; }
    const std::u16string& wideName() const { return wideName_; }
    const std::u16string& widePrefix() const { return widePrefix_; }

    // The longest message reportError keeps, in UTF-16 units; longer ones are cut.
    static constexpr std::size_t kMaxErrorMessage = 8191;

protected:
    // Extractors are members of the session and never deleted through the base.
    ~InfoExtractor() = default;

    // Sets "prefix + field" in the bound record; nothing when none is bound.
    void setProperty(std::string_view field, std::u16string value);

    // Formats the message (see formatText), cuts it to kMaxErrorMessage, and
    // appends "name:message" to the bound record's "ERROR" value, separated
    // from earlier entries by ", ". Returns the formatted message, which is
    // made even when no record is bound.
    std::u16string reportError(std::u16string_view format, std::initializer_list<FormatArg> args = {});

private:
    std::string name_;
    std::string prefix_;
    std::u16string wideName_;
    std::u16string widePrefix_;
    ProcessRecord* currentRecord_ = nullptr;
};

// Appends "source:message" to the record's "ERROR" value, after ", " when
// it already holds a text.
void appendError(ProcessRecord& record, std::u16string_view source, std::u16string_view message);

}  // namespace zorvane
