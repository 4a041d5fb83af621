#pragma once
// The SQLite backend: one connection in WAL mode with a busy timeout, so
// that other processes (a backup, sqlite3 on the command line) can read the
// file while the service runs.

#include <memory>
#include <string>

#include "service/store.h"

namespace zorvane::service {

// Opens or creates the database file (and its directory) and its schema.
Expected<std::unique_ptr<ScanStore>> openSqliteStore(const std::string& path, StoreOptions options = {});

}  // namespace zorvane::service
