#pragma once

#include "Database.h"

namespace quorlinth::service {

constexpr int kSchemaVersion = 1;

// Brings the file up to kSchemaVersion (tracked in SQLite's user_version), one step per
// version inside a transaction. A file newer than this build is refused.
Result<void> migrateSchema(Database& database);

} // namespace quorlinth::service
