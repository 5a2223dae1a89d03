#pragma once

#include "base/Json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorlinth {

// The application's identity, as the installation and every release archive state it.
inline constexpr const char* kBundleIdentifier = "com.pelmarock.quorlinth.linux";
// Releases above this size are refused before anything is downloaded (512 MiB).
inline constexpr int64_t kMaxReleaseBytes = 536'870'912;

// One platform's release as the manifest publishes it. `minimumOS` is the lowest C library
// (glibc) version the release's programs run on; `signature` is the base64 of a 64-byte P-256
// signature (r || s) over the archive's 32-byte SHA-256 digest.
struct MacUpdate {
    std::string version;
    std::string build;
    std::string bundleIdentifier;
    std::string minimumOS;
    std::string file;
    int64_t bytes = 0;
    std::string sha256;
    std::string signature;

    bool operator==(const MacUpdate&) const = default;

    Json toJson() const;
    // Fields missing or of the wrong JSON type take their defaults (and then fail validation).
    static MacUpdate fromJson(const Json& object);
};

// The manifest document "release.json": the Linux release under "linux"; other members (other
// platforms) are ignored.
struct MacUpdateRelease {
    std::optional<MacUpdate> linuxUpdate;

    // Nullopt for anything that is not a JSON object.
    static std::optional<MacUpdateRelease> decode(std::string_view text);
};

// "Quorlinth-Linux-" + the first 16 digest characters + ".tar.gz".
std::string releaseFileName(std::string_view sha256);

// Every rule a release must pass before it is offered or installed: a positive decimal build,
// this application's identity, a lower-case 64-character digest, a size within limits, a short
// non-empty version and the file name derived from the digest.
bool isValidRelease(const MacUpdate& update);

// A decimal integer with an optional sign, as the build numbers are written; nullopt otherwise.
std::optional<int64_t> parseBuildNumber(std::string_view text);

// Whether `releaseBuild` is newer than the running build; a running build that is not a number
// never counts as older.
bool isNewerBuild(std::string_view runningBuild, std::string_view releaseBuild);

// Whether a release needing `minimumOS` runs on a system of `platformVersion`: both dotted; only
// major and minor of the minimum count; a minimum without any number never fits.
bool fitsPlatform(std::string_view minimumOS, std::string_view platformVersion);

// The status line after a successful check.
std::string checkMessage(const MacUpdate& update, bool newer, bool fits);

} // namespace quorlinth
