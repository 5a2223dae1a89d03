#include "store/UserDefaults.h"

#include "store/AtomicFile.h"
#include "store/Paths.h"

#include <system_error>

namespace quorlinth {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxFileSize = 16 * 1024 * 1024;
constexpr const char* kFileName = "defaults.json";
// Binary values are stored as {"base64": "..."} so they stay apart from strings.
constexpr const char* kDataKey = "base64";

Json load(const fs::path& file, bool& damaged) {
    std::optional<std::string> text = readSmallFile(file, kMaxFileSize);
    if (!text) return Json::object();
    auto parsed = parseJsonObject(*text);
    damaged = !parsed;
    return parsed.value_or(Json::object());
}

} // namespace

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults;
    return defaults;
}

UserDefaults::UserDefaults() : UserDefaults(appConfigDir() / kFileName) {}

UserDefaults::UserDefaults(fs::path file) : path(std::move(file)), values(load(path, unreadable)) {
    // The next write replaces the file: keep the damaged one beside it for whoever wants it back.
    std::error_code ignored;
    if (unreadable) fs::copy_file(path, damagedCopy(), fs::copy_options::overwrite_existing, ignored);
}

fs::path UserDefaults::damagedCopy() const {
    return fs::path(path) += ".damaged";
}

const Json* UserDefaults::find(const std::string& key) const {
    auto found = values.find(key);
    return found == values.end() ? nullptr : &*found;
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const {
    std::lock_guard lock(mutex);
    const Json* value = find(key);
    if (!value || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

std::optional<int64_t> UserDefaults::integer(const std::string& key) const {
    std::lock_guard lock(mutex);
    const Json* value = find(key);
    if (!value || !value->is_number_integer()) return std::nullopt;
    if (value->is_number_unsigned() && value->get<uint64_t>() > uint64_t(INT64_MAX)) return std::nullopt;
    return value->get<int64_t>();
}

std::optional<double> UserDefaults::number(const std::string& key) const {
    std::lock_guard lock(mutex);
    const Json* value = find(key);
    if (!value || !value->is_number_float()) return std::nullopt;
    return value->get<double>();
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    std::lock_guard lock(mutex);
    const Json* value = find(key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<Bytes> UserDefaults::data(const std::string& key) const {
    std::lock_guard lock(mutex);
    const Json* value = find(key);
    if (!value || !value->is_object() || value->size() != 1) return std::nullopt;
    std::optional<std::string> encoded = field::string(*value, kDataKey);
    if (!encoded) return std::nullopt;
    return base64Decode(*encoded);
}

void UserDefaults::set(const std::string& key, bool value) {
    store(key, value);
}
void UserDefaults::set(const std::string& key, int64_t value) {
    store(key, value);
}
void UserDefaults::set(const std::string& key, double value) {
    store(key, value);
}
void UserDefaults::set(const std::string& key, const std::string& value) {
    store(key, value);
}
void UserDefaults::set(const std::string& key, const Bytes& value) {
    store(key, Json{{kDataKey, base64Encode(value)}});
}

void UserDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex);
    if (values.erase(key) > 0) save();
}

void UserDefaults::store(const std::string& key, Json value) {
    std::lock_guard lock(mutex);
    values[key] = std::move(value);
    save();
}

// A failed write keeps the values in memory for this run; the file keeps its last good state.
void UserDefaults::save() {
    std::error_code ignored;
    fs::create_directories(path.parent_path(), ignored);
    (void)writeFileAtomically(path, dumpJson(values) + "\n", 0600);
}

} // namespace quorlinth
