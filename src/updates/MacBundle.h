#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quorlinth {

// An installed copy of the application: a directory holding "bundle.json" (identity, version,
// build), the launcher "quorlinth" and the programs under "bin/". Release archives carry one
// such directory named with the extension ".app".
struct MacBundle {
    static constexpr const char* kInfoName = "bundle.json";
    static constexpr const char* kLauncherName = "quorlinth";
    static constexpr const char* kProgramsFolder = "bin";

    std::filesystem::path path;
    std::string bundleIdentifier;
    std::string version;
    std::string build;

    // Nullopt when the folder has no readable "bundle.json" object; missing fields are empty.
    static std::optional<MacBundle> read(const std::filesystem::path& folder);
    // The installation this process runs from: the folder above the running program's "bin/",
    // when that folder is a bundle of this application.
    static std::optional<MacBundle> running();
};

} // namespace quorlinth
