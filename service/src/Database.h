#pragma once

#include "base/Result.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

struct sqlite3;

namespace quorlinth::service {

using SqlValue = std::variant<std::nullptr_t, int64_t, std::string>;

// One result row, copied out of SQLite so it outlives the statement.
class SqlRow {
public:
    explicit SqlRow(std::vector<SqlValue> values) : values(std::move(values)) {}
    bool isNull(size_t column) const { return std::holds_alternative<std::nullptr_t>(values.at(column)); }
    int64_t integer(size_t column) const;
    std::string text(size_t column) const;

private:
    std::vector<SqlValue> values;
};

// A failed statement; caught at the request boundary and answered as a server error.
class DatabaseError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The service's one SQLite file. Every statement is prepared with bound parameters. One
// connection serves all threads under a recursive lock, so a transaction can call helpers.
class Database {
public:
    static Result<std::unique_ptr<Database>> open(const std::filesystem::path& file);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    std::vector<SqlRow> query(const std::string& sql, std::initializer_list<SqlValue> parameters = {});
    std::optional<SqlRow> queryOne(const std::string& sql, std::initializer_list<SqlValue> parameters = {});
    // Returns the number of rows changed.
    int64_t execute(const std::string& sql, std::initializer_list<SqlValue> parameters = {});

    // Runs `work` inside BEGIN IMMEDIATE … COMMIT, rolling back when it throws.
    template <class Work> auto transaction(Work&& work) {
        std::lock_guard lock(mutex);
        execute("BEGIN IMMEDIATE");
        try {
            if constexpr (std::is_void_v<decltype(work())>) {
                work();
                execute("COMMIT");
            } else {
                auto result = work();
                execute("COMMIT");
                return result;
            }
        } catch (...) {
            execute("ROLLBACK");
            throw;
        }
    }

    int userVersion();
    void setUserVersion(int version);

private:
    explicit Database(sqlite3* handle) : handle(handle) {}
    std::vector<SqlRow> run(const std::string& sql, std::initializer_list<SqlValue> parameters,
                            int64_t* changes);

    std::recursive_mutex mutex;
    sqlite3* handle;
};

} // namespace quorlinth::service
