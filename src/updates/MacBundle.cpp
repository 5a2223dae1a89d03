#include "updates/MacBundle.h"

#include "base/Json.h"
#include "store/AtomicFile.h"
#include "updates/MacUpdate.h"

#include <system_error>

namespace quorlinth {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxInfoBytes = 64 * 1024;

} // namespace

std::optional<MacBundle> MacBundle::read(const fs::path& folder) {
    auto text = readSmallFile(folder / kInfoName, kMaxInfoBytes);
    if (!text) return std::nullopt;
    auto info = parseJsonObject(*text);
    if (!info) return std::nullopt;
    return MacBundle{folder, field::string(*info, "bundleIdentifier", ""),
                     field::string(*info, "version", ""), field::string(*info, "build", "")};
}

std::optional<MacBundle> MacBundle::running() {
    std::error_code error;
    fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error || program.parent_path().filename() != kProgramsFolder) return std::nullopt;
    auto bundle = read(program.parent_path().parent_path());
    if (!bundle || bundle->bundleIdentifier != kBundleIdentifier) return std::nullopt;
    return bundle;
}

} // namespace quorlinth
