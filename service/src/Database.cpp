#include "Database.h"

#include <sqlite3.h>

namespace quorlinth::service {

int64_t SqlRow::integer(size_t column) const {
    const SqlValue& value = values.at(column);
    if (auto number = std::get_if<int64_t>(&value)) return *number;
    return 0;
}

std::string SqlRow::text(size_t column) const {
    const SqlValue& value = values.at(column);
    if (auto text = std::get_if<std::string>(&value)) return *text;
    if (auto number = std::get_if<int64_t>(&value)) return std::to_string(*number);
    return {};
}

Result<std::unique_ptr<Database>> Database::open(const std::filesystem::path& file) {
    sqlite3* handle = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(file.c_str(), &handle, flags, nullptr) != SQLITE_OK) {
        std::string message = handle ? sqlite3_errmsg(handle) : "out of memory";
        sqlite3_close(handle);
        return Error{"cannot open database " + file.string() + ": " + message};
    }
    sqlite3_busy_timeout(handle, 5000);
    std::unique_ptr<Database> database(new Database(handle));
    try {
        database->query("PRAGMA journal_mode=WAL");
        database->execute("PRAGMA foreign_keys=ON");
        database->execute("PRAGMA synchronous=NORMAL");
    } catch (const DatabaseError& error) {
        return Error{error.what()};
    }
    return database;
}

Database::~Database() {
    sqlite3_close(handle);
}

std::vector<SqlRow> Database::query(const std::string& sql, std::initializer_list<SqlValue> parameters) {
    return run(sql, parameters, nullptr);
}

std::optional<SqlRow> Database::queryOne(const std::string& sql, std::initializer_list<SqlValue> parameters) {
    auto rows = run(sql, parameters, nullptr);
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
}

int64_t Database::execute(const std::string& sql, std::initializer_list<SqlValue> parameters) {
    int64_t changes = 0;
    run(sql, parameters, &changes);
    return changes;
}

int Database::userVersion() {
    auto row = queryOne("PRAGMA user_version");
    return row ? int(row->integer(0)) : 0;
}

void Database::setUserVersion(int version) {
    // PRAGMA takes no bound parameters; the value is an integer we produced.
    execute("PRAGMA user_version=" + std::to_string(version));
}

std::vector<SqlRow> Database::run(const std::string& sql, std::initializer_list<SqlValue> parameters,
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
