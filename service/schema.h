#pragma once
// The tables of both backends, written once. Each schema step is the
// tables it creates, the columns it adds and the statements both backends
// run alike; a column's type is named once and spelled by each backend in
// its own words. A database at version N has had the first N steps.

#include <string>

namespace zorvane::service {

enum class SqlDialect { Sqlite, Postgres };

inline constexpr int kSchemaSteps = 4;

// The script of step `step` (0 for the first) as `dialect` runs it. SQLite
// keeps the text of every CREATE TABLE and ALTER TABLE it ran, so the text
// is what the step has always been: a database made today reads like one
// made before.
std::string schemaStepScript(SqlDialect dialect, int step);

}  // namespace zorvane::service
