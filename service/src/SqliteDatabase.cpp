#include "SqliteDatabase.h"

#include <sqlite3.h>

namespace quorlinth::service {

Result<std::unique_ptr<Database>> Database::open(const std::filesystem::path& file) {
    sqlite3* handle = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(file.c_str(), &handle, flags, nullptr) != SQLITE_OK) {
        std::string message = handle ? sqlite3_errmsg(handle) : "out of memory";
        sqlite3_close(handle);
        return Error{"cannot open database " + file.string() + ": " + message};
    }
    sqlite3_busy_timeout(handle, 5000);
    std::unique_ptr<Database> database = std::make_unique<SqliteDatabase>(handle);
    try {
        database->query("PRAGMA journal_mode=WAL");
        database->execute("PRAGMA foreign_keys=ON");
        database->execute("PRAGMA synchronous=NORMAL");
    } catch (const DatabaseError& error) {
        return Error{error.what()};
    }
    return database;
}

SqliteDatabase::~SqliteDatabase() {
    sqlite3_close(handle);
}

const SqlDialect& SqliteDatabase::dialect() const {
    static const SqlDialect sqlite{"INTEGER", "INTEGER PRIMARY KEY", "rowid"};
    return sqlite;
}

void SqliteDatabase::runTransaction(const std::function<void()>& work) {
    std::lock_guard lock(mutex);
    // Only this thread can be inside a transaction while it holds the lock: join it.
    if (!sqlite3_get_autocommit(handle)) return work();
    execute("BEGIN IMMEDIATE");
    try {
        work();
        execute("COMMIT");
    } catch (...) {
        execute("ROLLBACK");
        throw;
    }
}

int SqliteDatabase::schemaVersion() {
    auto row = queryOne("PRAGMA user_version");
    return row ? int(row->integer(0)) : 0;
}

void SqliteDatabase::setSchemaVersion(int version) {
    // PRAGMA takes no bound parameters; the value is an integer we produced.
    execute("PRAGMA user_version=" + std::to_string(version));
}

std::vector<SqlRow> SqliteDatabase::run(const std::string& sql, std::initializer_list<SqlValue> parameters,
                                        int64_t* changes) {
    std::lock_guard lock(mutex);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(handle, sql.c_str(), int(sql.size()), &statement, nullptr) != SQLITE_OK)
        throw DatabaseError(std::string("prepare failed: ") + sqlite3_errmsg(handle));
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> guard(statement, sqlite3_finalize);
    int index = 1;
    for (const SqlValue& value : parameters) {
        if (auto number = std::get_if<int64_t>(&value))
            sqlite3_bind_int64(statement, index, *number);
        else if (auto text = std::get_if<std::string>(&value))
            sqlite3_bind_text(statement, index, text->data(), int(text->size()), SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(statement, index);
        ++index;
    }
    std::vector<SqlRow> rows;
    while (true) {
        int status = sqlite3_step(statement);
        if (status == SQLITE_DONE) break;
        if (status != SQLITE_ROW) throw DatabaseError(std::string("step failed: ") + sqlite3_errmsg(handle));
        std::vector<SqlValue> values;
        int columns = sqlite3_column_count(statement);
        for (int column = 0; column < columns; ++column) {
            switch (sqlite3_column_type(statement, column)) {
            case SQLITE_NULL:
                values.emplace_back(nullptr);
                break;
            case SQLITE_INTEGER:
                values.emplace_back(int64_t(sqlite3_column_int64(statement, column)));
                break;
            default: {
                auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
                values.emplace_back(
                    std::string(text ? text : "", size_t(sqlite3_column_bytes(statement, column))));
            }
            }
        }
        rows.emplace_back(std::move(values));
    }
    if (changes) *changes = sqlite3_changes(handle);
    return rows;
}

} // namespace quorlinth::service
