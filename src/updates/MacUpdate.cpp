#include "updates/MacUpdate.h"

#include <charconv>
#include <vector>

namespace quorlinth {

namespace {

constexpr const char* kPlatformKey = "linux";
constexpr size_t kMaxVersionLength = 64;

bool isLowerHex(std::string_view text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// The numeric pieces of a dotted version; pieces that are empty or not numbers are dropped.
std::vector<int64_t> versionNumbers(std::string_view text) {
    std::vector<int64_t> numbers;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('.', start);
        if (end == std::string_view::npos) end = text.size();
        if (auto number = parseBuildNumber(text.substr(start, end - start))) numbers.push_back(*number);
        start = end + 1;
    }
    return numbers;
}

} // namespace

Json MacUpdate::toJson() const {
    return Json{{"version", version},     {"build", build},        {"bundleIdentifier", bundleIdentifier},
                {"minimumOS", minimumOS}, {"file", file},          {"bytes", bytes},
                {"sha256", sha256},       {"signature", signature}};
}

MacUpdate MacUpdate::fromJson(const Json& object) {
    MacUpdate update;
    update.version = field::string(object, "version", "");
    update.build = field::string(object, "build", "");
    update.bundleIdentifier = field::string(object, "bundleIdentifier", "");
    update.minimumOS = field::string(object, "minimumOS", "");
    update.file = field::string(object, "file", "");
    update.bytes = field::int64(object, "bytes", 0);
    update.sha256 = field::string(object, "sha256", "");
    update.signature = field::string(object, "signature", "");
    return update;
}

std::optional<MacUpdateRelease> MacUpdateRelease::decode(std::string_view text) {
    auto document = parseJsonObject(text);
    if (!document) return std::nullopt;
    MacUpdateRelease release;
    if (const Json* platform = field::object(*document, kPlatformKey))
        release.linuxUpdate = MacUpdate::fromJson(*platform);
    return release;
}

std::string releaseFileName(std::string_view sha256) {
    return "Quorlinth-Linux-" + std::string(sha256.substr(0, 16)) + ".tar.gz";
}

std::optional<int64_t> parseBuildNumber(std::string_view text) {
    // from_chars takes a minus sign but not a plus sign; one sign of either kind is allowed.
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isValidRelease(const MacUpdate& update) {
    auto build = parseBuildNumber(update.build);
    return build && *build > 0 && update.bundleIdentifier == kBundleIdentifier &&
           update.sha256.size() == 64 && isLowerHex(update.sha256) && update.bytes >= 1 &&
           update.bytes <= kMaxReleaseBytes && !update.version.empty() &&
           update.version.size() <= kMaxVersionLength && update.file == releaseFileName(update.sha256);
}

bool isNewerBuild(std::string_view runningBuild, std::string_view releaseBuild) {
    auto running = parseBuildNumber(runningBuild);
    auto offered = parseBuildNumber(releaseBuild);
    return running && offered && *running < *offered;
}

bool fitsPlatform(std::string_view minimumOS, std::string_view platformVersion) {
    std::vector<int64_t> minimum = versionNumbers(minimumOS);
    if (minimum.empty()) return false;
    std::vector<int64_t> running = versionNumbers(platformVersion);
    running.resize(3, 0);
    const std::vector<int64_t> required{minimum[0], minimum.size() > 1 ? minimum[1] : 0, 0};
    return running >= required;
}

std::string checkMessage(const MacUpdate& update, bool newer, bool fits) {
    if (newer && !fits)
        return "新版本 " + update.version + "（" + update.build + "）需要 glibc " + update.minimumOS +
               " 或更高版本";
    if (newer) return "发现新版本 " + update.version + "（" + update.build + "）";
    return "已是最新版本";
}

} // namespace quorlinth
