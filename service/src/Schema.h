#pragma once

#include "Database.h"

namespace quorlinth::service {

constexpr int kSchemaVersion = 3;

// Brings the database up to kSchemaVersion (SQLite's user_version, PostgreSQL's schema_version
// table), one transaction per version. A database newer than this build is refused.
Result<void> migrateSchema(Database& database);

} // namespace quorlinth::service
