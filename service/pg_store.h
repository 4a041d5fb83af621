#pragma once
// The PostgreSQL backend, for several service instances sharing one
// database. Every operation is one transaction on a pooled connection;
// nothing that another instance needs stays in the process.

#include <cstddef>
#include <memory>
#include <string>

#include "service/store.h"

namespace zorvane::service {

struct PgStoreOptions {
    // Connections opened at most, one per request thread that talks to
    // the database at the same moment; more requests wait for a free one.
    std::size_t maxConnections = 8;
};

// Connects to `url` (a libpq connection URL), brings the schema to the
// current version under an advisory lock, and keeps that connection as the
// pool's first.
Expected<std::unique_ptr<ScanStore>> openPgStore(const std::string& url, PgStoreOptions options = {},
                                                 StoreOptions storeOptions = {});

}  // namespace zorvane::service
