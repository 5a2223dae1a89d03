#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace quorlinth::testing {

// A fresh folder under the system temporary directory, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorlinth-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
        path = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& operator*() const { return path; }
    std::filesystem::path operator/(const std::string& name) const { return path / name; }

private:
    std::filesystem::path path;
};

// Sets (or with nullopt unsets) one environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value) : name(std::move(name)) {
        if (const char* old = std::getenv(this->name.c_str())) previous = old;
        if (value) {
            ::setenv(this->name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(this->name.c_str());
        }
    }
    ~ScopedEnv() {
        if (previous) {
            ::setenv(name.c_str(), previous->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name;
    std::optional<std::string> previous;
};

} // namespace quorlinth::testing
