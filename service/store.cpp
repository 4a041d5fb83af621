#include "service/store.h"

#include "service/sqlite_store.h"

namespace zorvane::service {

std::unique_ptr<ScanStore> openScanStore(const std::string& location, std::string& error)
{
    return openSqliteStore(location, error);
}

}  // namespace zorvane::service
