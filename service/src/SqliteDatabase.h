#pragma once

#include "Database.h"

#include <mutex>

struct sqlite3;

namespace quorlinth::service {

// One SQLite file. One connection serves all threads under a recursive lock, so a
// transaction (BEGIN IMMEDIATE) can call helpers on the same thread.
class SqliteDatabase : public Database {
public:
    explicit SqliteDatabase(sqlite3* handle) : handle(handle) {}
    ~SqliteDatabase() override;

    int schemaVersion() override;
    void setSchemaVersion(int version) override;
    const SqlDialect& dialect() const override;
    // BEGIN IMMEDIATE already excludes every other writer of the file.
    void exclusively(const std::string&, const std::function<void()>& work) override { runTransaction(work); }
    bool shared() const override { return false; }

private:
    void runTransaction(const std::function<void()>& work) override;
    std::vector<SqlRow> run(const std::string& sql, std::initializer_list<SqlValue> parameters,
                            int64_t* changes) override;

    std::recursive_mutex mutex;
    sqlite3* handle;
};

} // namespace quorlinth::service
