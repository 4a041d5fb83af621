#pragma once
// Collects the diagnostic texts handed to the trace hook while it lives.

#include <string>
#include <utility>
#include <vector>

#include "core/base/trace.h"

namespace zorvane::fakes {

class TraceCapture {
public:
    TraceCapture() : previous_(setTraceSink([this](std::u16string_view text) { texts.emplace_back(text); })) {}
    ~TraceCapture() { setTraceSink(std::move(previous_)); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    bool contains(std::u16string_view text) const
    {
        for (const auto& traced : texts)
            if (traced == text)
                return true;
        return false;
    }

    std::vector<std::u16string> texts;

private:
    TraceSink previous_;
};

}  // namespace zorvane::fakes
