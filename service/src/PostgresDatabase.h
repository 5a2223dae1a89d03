#pragma once

#include "Database.h"

#include <condition_variable>
#include <mutex>
#include <pqxx/connection>
#include <pqxx/isolation>

namespace quorlinth::service {

// A PostgreSQL server shared by every node. Connections are opened as threads need them, up
// to a limit, and kept for reuse; a transaction keeps its connection for the helpers it calls.
// Transactions are serializable and run again when the server reports a conflict.
class PostgresDatabase : public Database {
public:
    PostgresDatabase(std::string url, size_t connectionLimit);
    ~PostgresDatabase() override;

    int schemaVersion() override;
    void setSchemaVersion(int version) override;
    const SqlDialect& dialect() const override;
    void exclusively(const std::string& name, const std::function<void()>& work) override;
    bool shared() const override { return true; }

private:
    class Lease;
    void runTransaction(const std::function<void()>& work) override;
    template <pqxx::isolation_level Isolation>
    void runIsolated(const std::function<void()>& work, const std::optional<std::string>& lockName);
    std::vector<SqlRow> run(const std::string& sql, std::initializer_list<SqlValue> parameters,
                            int64_t* changes) override;
    std::unique_ptr<pqxx::connection> acquire();
    void release(std::unique_ptr<pqxx::connection> connection);
    void forgetIdleConnections();

    const std::string url;
    const size_t connectionLimit;
    std::mutex mutex;
    std::condition_variable freed;
    std::vector<std::unique_ptr<pqxx::connection>> idle;
    size_t opened = 0;
};

} // namespace quorlinth::service
