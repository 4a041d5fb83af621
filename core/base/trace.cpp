#include "core/base/trace.h"

#include <utility>

namespace zorvane {

namespace {
TraceSink& sink()
{
    static TraceSink instance;
    return instance;
}
}  // namespace

void traceDiagnostic(std::u16string_view text)
{
    if (sink())
        sink()(text);
}

TraceSink setTraceSink(TraceSink newSink)
{
    return std::exchange(sink(), std::move(newSink));
}

}  // namespace zorvane
