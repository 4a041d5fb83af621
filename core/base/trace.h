#pragma once
// The diagnostic trace hook. Extractors hand it their diagnostic texts; the
// program keeps nothing of them (no log file, no console). Tests install a
// sink to observe what was traced.

#include <functional>
#include <string_view>

namespace zorvane {

using TraceSink = std::function<void(std::u16string_view)>;

void traceDiagnostic(std::u16string_view text);

// Installs a sink for the calling test; returns the previous one. Not for use
// while a scan runs on another thread.
TraceSink setTraceSink(TraceSink sink);

}  // namespace zorvane
