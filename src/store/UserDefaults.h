#pragma once

#include "base/Encoding.h"
#include "base/Json.h"

#include <concepts>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace quorlinth {

// Typed persistent settings in one JSON file. Every change is written at once, atomically.
// An unreadable or corrupt file reads as "no values" and is replaced by the next write. A value
// read with a different type than it was stored with counts as absent. Thread-safe.
class UserDefaults {
public:
    // The application's settings: appConfigDir()/defaults.json.
    static UserDefaults& standard();

    explicit UserDefaults(std::filesystem::path file);
    UserDefaults();

    std::optional<bool> boolean(const std::string& key) const;
    std::optional<int64_t> integer(const std::string& key) const;
    std::optional<double> number(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;
    std::optional<Bytes> data(const std::string& key) const;

    void set(const std::string& key, bool value);
    void set(const std::string& key, int64_t value);
    void set(const std::string& key, double value);
    void set(const std::string& key, const std::string& value);
    void set(const std::string& key, const char* value) { set(key, std::string(value)); }
    void set(const std::string& key, const Bytes& value);
    // Other integer types (int, unsigned...) are stored as integers, not as bool or double.
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, int64_t>) void set(const std::string& key, T value) {
        set(key, static_cast<int64_t>(value));
    }
    void remove(const std::string& key);

    const std::filesystem::path& file() const { return path; }
    // The file existed but could not be read as settings; a copy was kept at damagedCopy().
    bool damaged() const { return unreadable; }
    std::filesystem::path damagedCopy() const;

private:
    const Json* find(const std::string& key) const;
    void store(const std::string& key, Json value);
    void save();

    std::filesystem::path path;
    mutable std::mutex mutex;
    bool unreadable = false;
    Json values = Json::object();
};

} // namespace quorlinth
