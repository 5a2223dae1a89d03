#pragma once

#include "base/Result.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace quorlinth::service {

using SqlValue = std::variant<std::nullptr_t, int64_t, std::string>;

// One result row, copied out of the engine so it outlives the statement.
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

// The database server cannot be reached: answered 503 with Retry-After, the request may be repeated.
class DatabaseUnavailable : public DatabaseError {
    using DatabaseError::DatabaseError;
};

// The few places where the engines' SQL differs; every other statement is shared.
struct SqlDialect {
    const char* integer;      // a 64-bit integer column
    const char* generatedKey; // an integer primary key the engine numbers
    // An expression giving the order rows were inserted in, where the engine keeps one.
    const char* insertionOrder;
};

// The service's storage: an SQLite file or a PostgreSQL server. Statements use `?` placeholders
// with bound parameters. A transaction's helpers run on the same connection as the transaction.
class Database {
public:
    // An SQLite file, created if missing.
    static Result<std::unique_ptr<Database>> open(const std::filesystem::path& file);
    // A PostgreSQL server, through up to `connections` connections opened as needed.
    static Result<std::unique_ptr<Database>> connect(const std::string& url, size_t connections);

    virtual ~Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    std::vector<SqlRow> query(const std::string& sql, std::initializer_list<SqlValue> parameters = {});
    std::optional<SqlRow> queryOne(const std::string& sql, std::initializer_list<SqlValue> parameters = {});
    // Returns the number of rows changed.
    int64_t execute(const std::string& sql, std::initializer_list<SqlValue> parameters = {});

    // Runs `work` as one transaction, rolled back when it throws. The engine may run `work`
    // again when a concurrent transaction conflicted with it, so it only touches the database.
    template <class Work> auto transaction(Work&& work) {
        if constexpr (std::is_void_v<decltype(work())>) {
            runTransaction([&] { work(); });
        } else {
            std::optional<decltype(work())> result;
            runTransaction([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    // Runs `work` as one transaction that no other process's `exclusively` of the same name
    // overlaps, seeing what the one before it committed: nodes starting together migrate one
    // after the other, and nodes counting one limit count in turn. Inside another transaction
    // it joins that one and takes no turn of its own.
    virtual void exclusively(const std::string& name, const std::function<void()>& work) = 0;

    // Whether other processes use the same data (a server), so that state every node must
    // agree on belongs in the database rather than in memory.
    virtual bool shared() const = 0;

    // The version migrations have reached; 0 for an empty database.
    virtual int schemaVersion() = 0;
    virtual void setSchemaVersion(int version) = 0;
    virtual const SqlDialect& dialect() const = 0;

protected:
    Database() = default;
    virtual void runTransaction(const std::function<void()>& work) = 0;
    // One statement: its rows, and the number of rows it changed into `changes` when given.
    virtual std::vector<SqlRow> run(const std::string& sql, std::initializer_list<SqlValue> parameters,
                                    int64_t* changes) = 0;
};

} // namespace quorlinth::service
