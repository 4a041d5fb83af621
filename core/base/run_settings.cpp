#include "core/base/run_settings.h"

#include "core/base/conversions.h"

namespace zorvane {

std::u16string defaultHostName()
{
    return widenLatin1(ZORVANE_DEFAULT_HOST);
}

}  // namespace zorvane
