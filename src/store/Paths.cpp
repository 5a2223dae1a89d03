#include "store/Paths.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace quorlinth {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAppFolder = "quorlinth";

fs::path homeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return fs::temp_directory_path();
}

// XDG variables must hold absolute paths; anything else is ignored.
fs::path xdgDir(const char* variable, const fs::path& fallbackUnderHome) {
    if (const char* value = std::getenv(variable); value && *value) {
        fs::path path(value);
        if (path.is_absolute()) return path;
    }
    return homeDir() / fallbackUnderHome;
}

// XDG_DOWNLOAD_DIR="$HOME/Downloads" from user-dirs.dirs, with $HOME expanded.
std::optional<fs::path> userDownloadDir() {
    std::ifstream file(configHome() / "user-dirs.dirs");
    const std::string prefix = "XDG_DOWNLOAD_DIR=\"";
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 1 || line.back() != '"') continue;
        std::string value = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        if (value.rfind("$HOME", 0) == 0) return homeDir().string() + value.substr(5);
        if (fs::path(value).is_absolute()) return fs::path(value);
    }
    return std::nullopt;
}

} // namespace

fs::path configHome() {
    return xdgDir("XDG_CONFIG_HOME", ".config");
}
fs::path dataHome() {
    return xdgDir("XDG_DATA_HOME", ".local/share");
}
fs::path stateHome() {
    return xdgDir("XDG_STATE_HOME", ".local/state");
}

fs::path appConfigDir() {
    return configHome() / kAppFolder;
}
fs::path appDataDir() {
    return dataHome() / kAppFolder;
}
fs::path appStateDir() {
    return stateHome() / kAppFolder;
}

fs::path downloadsDir() {
    if (const char* value = std::getenv("XDG_DOWNLOAD_DIR"); value && fs::path(value).is_absolute()) {
        return fs::path(value) / "Quorlinth";
    }
    return userDownloadDir().value_or(homeDir() / "Downloads") / "Quorlinth";
}

} // namespace quorlinth
