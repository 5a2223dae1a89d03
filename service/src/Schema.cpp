#include "Schema.h"

namespace quorlinth::service {

namespace {

// Version 1: accounts, tokens, devices and the short-lived sign-in records.
void createVersion1(Database& db) {
    db.execute(R"(CREATE TABLE users (
        id INTEGER PRIMARY KEY,
        username TEXT NOT NULL UNIQUE,
        phone TEXT UNIQUE,
        password_hash TEXT,
        created_at INTEGER NOT NULL))");
    db.execute(R"(CREATE TABLE devices (
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
    db.execute(R"(CREATE TABLE tokens (
        digest TEXT PRIMARY KEY,
        kind TEXT NOT NULL CHECK (kind IN ('account', 'setup', 'device')),
        user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        device_id TEXT REFERENCES devices(id) ON DELETE CASCADE,
        expires_at INTEGER,
        created_at INTEGER NOT NULL))");
    db.execute("CREATE INDEX tokens_by_device ON tokens(device_id)");
    db.execute("CREATE INDEX tokens_by_expiry ON tokens(expires_at)");
    db.execute(R"(CREATE TABLE captchas (
        id TEXT PRIMARY KEY,
        answer TEXT NOT NULL,
        expires_at INTEGER NOT NULL))");
    db.execute(R"(CREATE TABLE sms_codes (
        phone TEXT PRIMARY KEY,
        code_digest TEXT NOT NULL,
        sent_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL,
        attempts INTEGER NOT NULL DEFAULT 0))");
    db.execute("CREATE TABLE sms_sends (phone TEXT NOT NULL, sent_at INTEGER NOT NULL)");
    db.execute("CREATE INDEX sms_sends_by_phone ON sms_sends(phone, sent_at)");
    db.execute(R"(CREATE TABLE qr_logins (
        id TEXT PRIMARY KEY,
        secret_digest TEXT NOT NULL,
        name TEXT NOT NULL,
        status TEXT NOT NULL CHECK (status IN ('pending', 'approved', 'denied', 'used')),
        user_id INTEGER REFERENCES users(id) ON DELETE CASCADE,
        expires_at INTEGER NOT NULL))");
    db.execute(R"(CREATE TABLE pairings (
        device_id TEXT PRIMARY KEY REFERENCES devices(id) ON DELETE CASCADE,
        code TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        failures INTEGER NOT NULL DEFAULT 0,
        expires_at INTEGER NOT NULL))");
    db.execute(R"(CREATE TABLE diagnostics (
        id TEXT PRIMARY KEY,
        user_id INTEGER REFERENCES users(id) ON DELETE SET NULL,
        platform TEXT NOT NULL,
        build TEXT NOT NULL,
        device TEXT NOT NULL,
        text TEXT NOT NULL,
        created_at INTEGER NOT NULL))");
}

} // namespace

Result<void> migrateSchema(Database& database) {
    try {
        int version = database.userVersion();
        if (version > kSchemaVersion)
            return Error{"database schema version " + std::to_string(version) +
                         " is newer than this build (" + std::to_string(kSchemaVersion) + ")"};
        if (version < 1) {
            database.transaction([&] {
                createVersion1(database);
                database.setUserVersion(1);
            });
        }
        return {};
    } catch (const DatabaseError& error) {
        return Error{std::string("schema migration failed: ") + error.what()};
    }
}

} // namespace quorlinth::service
