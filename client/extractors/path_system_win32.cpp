// Placeholder until the Win32 path system lands.
#include "client/win32/adapters.h"
#include "core/extractors/path_operations.h"

namespace zorvane::client {

PathOperations& processPathOperations()
{
    static PathSystem system;
    static PathOperations operations(system);
    return operations;
}

}  // namespace zorvane::client
