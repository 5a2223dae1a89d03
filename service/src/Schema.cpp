#include "Schema.h"

#include <iterator>

namespace quorlinth::service {

namespace {

// The engines name integer and generated key columns differently; the tables are written once.
void create(Database& db, std::string sql) {
    const SqlDialect& dialect = db.dialect();
    auto replaceAll = [&](const std::string& from, const std::string& to) {
        for (size_t at = sql.find(from); at != std::string::npos; at = sql.find(from, at + to.size()))
            sql.replace(at, from.size(), to);
    };
    replaceAll("INTEGER PRIMARY KEY", "@KEY");
    replaceAll("INTEGER", dialect.integer);
    replaceAll("@KEY", dialect.generatedKey);
    db.execute(sql);
}

// Version 1: accounts, tokens, devices and the short-lived sign-in records.
void createVersion1(Database& db) {
    create(db, R"(CREATE TABLE users (
        id INTEGER PRIMARY KEY,
        username TEXT NOT NULL UNIQUE,
        phone TEXT UNIQUE,
        password_hash TEXT,
        created_at INTEGER NOT NULL))");
    create(db, R"(CREATE TABLE devices (
        id TEXT PRIMARY KEY,
        user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        installation_id TEXT NOT NULL,
        name TEXT NOT NULL,
        platform TEXT NOT NULL,
        kind TEXT NOT NULL,
        version TEXT NOT NULL,
        created_at INTEGER NOT NULL,
        last_heartbeat INTEGER,
        capture_ready INTEGER NOT NULL DEFAULT 0,
        input_ready INTEGER NOT NULL DEFAULT 0,
        webrtc INTEGER NOT NULL DEFAULT 0,
        UNIQUE (user_id, installation_id)))");
    create(db, R"(CREATE TABLE tokens (
        digest TEXT PRIMARY KEY,
        kind TEXT NOT NULL CHECK (kind IN ('account', 'setup', 'device')),
        user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        device_id TEXT REFERENCES devices(id) ON DELETE CASCADE,
        expires_at INTEGER,
        created_at INTEGER NOT NULL))");
    db.execute("CREATE INDEX tokens_by_device ON tokens(device_id)");
    db.execute("CREATE INDEX tokens_by_expiry ON tokens(expires_at)");
    create(db, R"(CREATE TABLE captchas (
        id TEXT PRIMARY KEY,
        answer TEXT NOT NULL,
        expires_at INTEGER NOT NULL))");
    create(db, R"(CREATE TABLE sms_codes (
        phone TEXT PRIMARY KEY,
        code_digest TEXT NOT NULL,
        sent_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL,
        attempts INTEGER NOT NULL DEFAULT 0))");
    create(db, "CREATE TABLE sms_sends (phone TEXT NOT NULL, sent_at INTEGER NOT NULL)");
    db.execute("CREATE INDEX sms_sends_by_phone ON sms_sends(phone, sent_at)");
    create(db, R"(CREATE TABLE qr_logins (
        id TEXT PRIMARY KEY,
        secret_digest TEXT NOT NULL,
        name TEXT NOT NULL,
        status TEXT NOT NULL CHECK (status IN ('pending', 'approved', 'denied', 'used')),
        user_id INTEGER REFERENCES users(id) ON DELETE CASCADE,
        expires_at INTEGER NOT NULL))");
    create(db, R"(CREATE TABLE pairings (
        device_id TEXT PRIMARY KEY REFERENCES devices(id) ON DELETE CASCADE,
        code TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        failures INTEGER NOT NULL DEFAULT 0,
        expires_at INTEGER NOT NULL))");
    create(db, R"(CREATE TABLE diagnostics (
        id TEXT PRIMARY KEY,
        user_id INTEGER REFERENCES users(id) ON DELETE SET NULL,
        platform TEXT NOT NULL,
        build TEXT NOT NULL,
        device TEXT NOT NULL,
        text TEXT NOT NULL,
        created_at INTEGER NOT NULL))");
}

// Version 2: tokens are numbered in the order they were issued, so that the oldest of one
// second go first when a user holds too many. Tokens already stored keep the order the engine
// inserted them in.
void addTokenIssueOrder(Database& db) {
    create(db, "ALTER TABLE tokens ADD COLUMN issue_order INTEGER NOT NULL DEFAULT 0");
    if (const char* insertionOrder = db.dialect().insertionOrder)
        db.execute(std::string("UPDATE tokens SET issue_order = ") + insertionOrder);
    db.execute("CREATE INDEX tokens_by_issue_order ON tokens(issue_order)");
}

// Version 3: rate-limit events, where nodes sharing the database count their limits.
void addRateEvents(Database& db) {
    create(db, R"(CREATE TABLE rate_events (
        id INTEGER PRIMARY KEY,
        limiter TEXT NOT NULL,
        subject TEXT NOT NULL,
        at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL))");
    db.execute("CREATE INDEX rate_events_by_key ON rate_events(limiter, subject, at)");
    db.execute("CREATE INDEX rate_events_by_expiry ON rate_events(expires_at)");
}

struct Migration {
    int version;
    void (*apply)(Database&);
};

constexpr Migration kMigrations[] = {{1, createVersion1}, {2, addTokenIssueOrder}, {3, addRateEvents}};
static_assert(std::size(kMigrations) == kSchemaVersion);

} // namespace

Result<void> migrateSchema(Database& database) {
    try {
        for (const Migration& migration : kMigrations) {
            // Nodes starting together take turns; each reads the version again once it has its
            // turn and skips a step another node has done meanwhile.
            database.exclusively("schema", [&] {
                int version = database.schemaVersion();
                if (version > kSchemaVersion)
                    throw DatabaseError("database schema version " + std::to_string(version) +
                                        " is newer than this build (" + std::to_string(kSchemaVersion) + ")");
                if (version >= migration.version) return;
                migration.apply(database);
                database.setSchemaVersion(migration.version);
            });
        }
        return {};
    } catch (const DatabaseError& error) {
        return Error{std::string("schema migration failed: ") + error.what()};
    }
}

} // namespace quorlinth::service
