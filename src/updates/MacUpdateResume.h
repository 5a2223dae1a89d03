#pragma once

#include "base/Encoding.h"

#include <optional>

namespace quorlinth {

class UserDefaults;

// The sharing state in force when an update began, kept across the restart that installs it
// so the new build can bring sharing back once.
struct MacUpdateResume {
    static constexpr const char* kDefaultsKey = "update.resume";
    // A record older than this (or dated in the future) restores nothing.
    static constexpr double kFreshSeconds = 600;

    bool sharing = false;
    bool input = false;
    double at = 0; // seconds since 1970, when written

    bool operator==(const MacUpdateResume&) const = default;

    Bytes encode() const;
    // Nullopt unless the data is a JSON object with "sharing" and "input" booleans and an "at" number.
    static std::optional<MacUpdateResume> decode(const Bytes& data);

    void save(UserDefaults& defaults) const;
    // Reads and removes the record (it is removed in every case); the record only when it
    // decodes and 0 <= now - at <= kFreshSeconds.
    static std::optional<MacUpdateResume> take(UserDefaults& defaults, double now);
};

} // namespace quorlinth
