#include "core/extractors/handle_info.h"

#include <string>

#include "core/base/conversions.h"
#include "core/extractors/file_system.h"

namespace zorvane {

void HandleInfoExtractor::extractFromHandle(OpenFile& file)
{
    std::u16string size;
    if (const auto information = file.information())
        size = widenLatin1(std::to_string(information->size));
    else
        reportError(u"GetFileInformationByHandle failed for handle %u", {file.handleValue()});
    setProperty("filesize", std::move(size));
}

}  // namespace zorvane
