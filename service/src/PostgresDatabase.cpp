#include "PostgresDatabase.h"

#include <pqxx/pqxx>

namespace quorlinth::service {

namespace {

constexpr int kTransactionAttempts = 8;
constexpr auto kConnectionWait = std::chrono::seconds(10);

// The transaction the calling thread runs on each database, so that its helpers join it.
thread_local std::vector<std::pair<const PostgresDatabase*, pqxx::transaction_base*>> currentTransactions;

pqxx::transaction_base* currentTransaction(const PostgresDatabase* database) {
    for (auto& [owner, transaction] : currentTransactions)
        if (owner == database) return transaction;
    return nullptr;
}

// `?` placeholders become `$1`, `$2`...; quoted text is left alone.
std::string numberPlaceholders(const std::string& sql) {
    std::string out;
    out.reserve(sql.size() + 8);
    int number = 0;
    bool quoted = false;
    for (char c : sql) {
        if (c == '\'') quoted = !quoted;
        if (c == '?' && !quoted)
            out += '$' + std::to_string(++number);
        else
            out += c;
    }
    return out;
}

// Integer-typed columns (int2, int4, int8, bool) come back as integers, everything else as text.
SqlValue valueOf(const pqxx::field& field) {
    if (field.is_null()) return nullptr;
    switch (field.type()) {
    case 16:
        return int64_t(field.c_str()[0] == 't');
    case 20:
    case 21:
    case 23:
        return field.as<int64_t>();
    default:
        return std::string(field.c_str(), field.size());
    }
}

// Errors that say the server is going away or not taking work (connection exceptions, an
// operator's or a crash's shutdown, a server still starting), not that the statement was wrong.
bool serverUnavailable(const pqxx::sql_error& error) {
    const std::string state = error.sqlstate();
    return state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0;
}

std::vector<SqlRow> rowsOf(const pqxx::result& result) {
    std::vector<SqlRow> rows;
    rows.reserve(result.size());
    for (const pqxx::row& row : result) {
        std::vector<SqlValue> values;
        values.reserve(row.size());
        for (const pqxx::field& field : row)
            values.push_back(valueOf(field));
        rows.emplace_back(std::move(values));
    }
    return rows;
}

pqxx::result runOn(pqxx::transaction_base& transaction, const std::string& sql,
                   std::initializer_list<SqlValue> parameters) {
    std::vector<std::string> texts;
    texts.reserve(parameters.size());
    for (const SqlValue& value : parameters) {
        if (auto number = std::get_if<int64_t>(&value))
            texts.push_back(std::to_string(*number));
        else if (auto text = std::get_if<std::string>(&value))
            texts.push_back(*text);
        else
            texts.emplace_back();
    }
    std::vector<const char*> pointers;
    size_t index = 0;
    for (const SqlValue& value : parameters) {
        pointers.push_back(std::holds_alternative<std::nullptr_t>(value) ? nullptr : texts[index].c_str());
        ++index;
    }
    return transaction.exec_params(numberPlaceholders(sql), pqxx::prepare::make_dynamic_params(pointers));
}

} // namespace

// A connection borrowed from the pool for one statement or transaction; a broken one is not returned.
class PostgresDatabase::Lease {
public:
    explicit Lease(PostgresDatabase& owner) : owner(owner), connection(owner.acquire()) {}
    ~Lease() {
        if (broken) {
            owner.forgetIdleConnections();
            connection.reset();
        }
        owner.release(std::move(connection));
    }
    pqxx::connection& operator*() { return *connection; }
    void markBroken() { broken = true; }

private:
    PostgresDatabase& owner;
    std::unique_ptr<pqxx::connection> connection;
    bool broken = false;
};

namespace {

// libpq waits for an unreachable host as long as TCP does, holding a request thread meanwhile;
// a few seconds suffice on the networks a service runs in. The URL may set its own.
std::string withConnectTimeout(std::string url) {
    if (url.find("connect_timeout=") != std::string::npos) return url;
    return url + (url.find('?') == std::string::npos ? "?" : "&") + "connect_timeout=5";
}

} // namespace

PostgresDatabase::PostgresDatabase(std::string url, size_t connectionLimit)
    : url(withConnectTimeout(std::move(url))), connectionLimit(std::max<size_t>(connectionLimit, 1)) {}

PostgresDatabase::~PostgresDatabase() = default;

Result<std::unique_ptr<Database>> Database::connect(const std::string& url, size_t connections) {
    auto database = std::make_unique<PostgresDatabase>(url, connections);
    try {
        database->query("SELECT 1");
    } catch (const DatabaseError& error) {
        return Error{error.what()};
    }
    return std::unique_ptr<Database>(std::move(database));
}

std::unique_ptr<pqxx::connection> PostgresDatabase::acquire() {
    std::unique_lock lock(mutex);
    if (!freed.wait_for(lock, kConnectionWait, [&] { return !idle.empty() || opened < connectionLimit; }))
        throw DatabaseUnavailable("no free connection to the PostgreSQL server");
    if (!idle.empty()) {
        auto connection = std::move(idle.back());
        idle.pop_back();
        return connection;
    }
    ++opened;
    lock.unlock();
    try {
        return std::make_unique<pqxx::connection>(url);
    } catch (const std::exception& error) {
        release(nullptr);
        // libpq's message names the host and the reason, never the password.
        throw DatabaseUnavailable(std::string("cannot connect to the PostgreSQL server: ") + error.what());
    }
}

void PostgresDatabase::release(std::unique_ptr<pqxx::connection> connection) {
    {
        std::lock_guard lock(mutex);
        if (connection && connection->is_open())
            idle.push_back(std::move(connection));
        else
            --opened;
    }
    freed.notify_one();
}

// One broken connection means the server went away: the idle ones are stale too.
void PostgresDatabase::forgetIdleConnections() {
    std::vector<std::unique_ptr<pqxx::connection>> stale;
    {
        std::lock_guard lock(mutex);
        stale.swap(idle);
        opened -= stale.size();
    }
    freed.notify_all();
}

std::vector<SqlRow> PostgresDatabase::run(const std::string& sql, std::initializer_list<SqlValue> parameters,
                                          int64_t* changes) {
    auto finish = [&](const pqxx::result& result) {
        if (changes) *changes = int64_t(result.affected_rows());
        return rowsOf(result);
    };
    if (pqxx::transaction_base* transaction = currentTransaction(this)) {
        // Errors reach runTransaction, which sorts them.
        return finish(runOn(*transaction, sql, parameters));
    }
    Lease lease(*this);
    try {
        pqxx::nontransaction statement(*lease);
        return finish(runOn(statement, sql, parameters));
    } catch (const pqxx::broken_connection& error) {
        lease.markBroken();
        throw DatabaseUnavailable(std::string("lost the PostgreSQL server: ") + error.what());
    } catch (const pqxx::sql_error& error) {
        if (!serverUnavailable(error)) throw DatabaseError(error.what());
        lease.markBroken();
        throw DatabaseUnavailable(std::string("the PostgreSQL server is unavailable: ") + error.what());
    }
}

void PostgresDatabase::runTransaction(const std::function<void()>& work) {
    runIsolated<pqxx::serializable>(work, std::nullopt);
}

// Read committed, so that after waiting for the lock each statement sees what the previous
// holder committed (a serializable snapshot would be taken before the wait). The lock's first
// number keeps the service's locks apart from any other user of the server.
void PostgresDatabase::exclusively(const std::string& name, const std::function<void()>& work) {
    runIsolated<pqxx::read_committed>(work, name);
}

template <pqxx::isolation_level Isolation>
void PostgresDatabase::runIsolated(const std::function<void()>& work,
                                   const std::optional<std::string>& lockName) {
    if (currentTransaction(this)) return work(); // a helper inside the caller's transaction
    Lease lease(*this);
    for (int attempt = 1;; ++attempt) {
        try {
            pqxx::transaction<Isolation> transaction(*lease);
            currentTransactions.emplace_back(this, &transaction);
            struct Leave {
                ~Leave() { currentTransactions.pop_back(); }
            } leave;
            if (lockName)
                runOn(transaction, "SELECT pg_advisory_xact_lock(72628170, hashtext(?))", {*lockName});
            work();
            transaction.commit();
            return;
        } catch (const pqxx::in_doubt_error& error) {
            lease.markBroken();
            throw DatabaseUnavailable(std::string("lost the PostgreSQL server during a commit: ") +
                                      error.what());
        } catch (const pqxx::broken_connection& error) {
            lease.markBroken();
            throw DatabaseUnavailable(std::string("lost the PostgreSQL server: ") + error.what());
        } catch (const pqxx::serialization_failure& error) {
            if (attempt == kTransactionAttempts) throw DatabaseError(error.what());
        } catch (const pqxx::deadlock_detected& error) {
            if (attempt == kTransactionAttempts) throw DatabaseError(error.what());
        } catch (const pqxx::sql_error& error) {
            if (!serverUnavailable(error)) throw DatabaseError(error.what());
            lease.markBroken();
            throw DatabaseUnavailable(std::string("the PostgreSQL server is unavailable: ") + error.what());
        }
    }
}

int PostgresDatabase::schemaVersion() {
    auto table = queryOne("SELECT to_regclass('schema_version') IS NOT NULL");
    if (!table || table->integer(0) == 0) return 0;
    auto row = queryOne("SELECT MAX(version) FROM schema_version");
    return row ? int(row->integer(0)) : 0;
}

void PostgresDatabase::setSchemaVersion(int version) {
    execute("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    execute("DELETE FROM schema_version");
    execute("INSERT INTO schema_version (version) VALUES (?)", {int64_t(version)});
}

const SqlDialect& PostgresDatabase::dialect() const {
    // No insertion order: PostgreSQL databases begin at a build that numbers tokens itself.
    static const SqlDialect postgres{"BIGINT", "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY",
                                     nullptr};
    return postgres;
}

} // namespace quorlinth::service
