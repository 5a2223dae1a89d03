#include "Database.h"

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

std::vector<SqlRow> Database::query(const std::string& sql, std::initializer_list<SqlValue> parameters) {
    return run(sql, parameters, nullptr);
}

int64_t Database::execute(const std::string& sql, std::initializer_list<SqlValue> parameters) {
    int64_t changes = 0;
    run(sql, parameters, &changes);
    return changes;
}

std::optional<SqlRow> Database::queryOne(const std::string& sql, std::initializer_list<SqlValue> parameters) {
    auto rows = query(sql, parameters);
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
}

} // namespace quorlinth::service
