#include "log/MachineFacts.h"

#include "log/ProxyTun.h"

#include <fstream>
#include <mutex>
#include <sstream>

namespace quorlinth {

namespace {

constexpr const char* kUnknown = "?";

std::string readText(const char* path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string trimmed(const std::string& text) {
    const char* space = " \t\r\n";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// os-release values may be quoted and use backslash escapes.
std::string unquoted(const std::string& value) {
    if (value.size() < 2 || (value.front() != '"' && value.front() != '\'') ||
        value.back() != value.front()) {
        return value;
    }
    std::string plain;
    for (size_t index = 1; index + 1 < value.size(); ++index) {
        if (value[index] == '\\' && index + 2 < value.size()) ++index;
        plain += value[index];
    }
    return plain;
}

struct DisplaySource {
    std::mutex mutex;
    std::function<DisplayFacts()> query;
};

DisplaySource& displaySource() {
    static DisplaySource source;
    return source;
}

DisplayFacts currentDisplayFacts() {
    std::function<DisplayFacts()> query;
    {
        std::lock_guard lock(displaySource().mutex);
        query = displaySource().query;
    }
    return query ? query() : DisplayFacts{};
}

} // namespace

std::string formatEnvironmentLine(const MachineFacts& facts) {
    std::string screens;
    for (const ScreenFacts& screen : facts.display.screens) {
        if (!screens.empty()) screens += ", ";
        screens += screen.name + " (" + std::to_string(screen.x) + ", " + std::to_string(screen.y) + ", " +
                   std::to_string(screen.width) + ", " + std::to_string(screen.height) + ")";
    }
    const auto flag = [](bool value) { return value ? "true" : "false"; };
    // The key "macOS=" is kept on every platform: support tooling parses it.
    return "build=" + facts.build + " macOS=" + facts.osVersion + " model=" + facts.model +
           " screenRecording=" + flag(facts.display.screenRecording) +
           " accessibility=" + flag(facts.display.accessibility) + " screens=[" + screens + "]" +
           " proxyTUN=" + facts.proxyTun.value_or("-");
}

std::string osPrettyName(const std::string& osReleaseText) {
    std::istringstream lines(osReleaseText);
    const std::string key = "PRETTY_NAME=";
    for (std::string line; std::getline(lines, line);) {
        line = trimmed(line);
        if (line.rfind(key, 0) != 0) continue;
        std::string name = unquoted(line.substr(key.size()));
        if (!name.empty()) return name;
    }
    return kUnknown;
}

void setDisplayFactsSource(std::function<DisplayFacts()> source) {
    std::lock_guard lock(displaySource().mutex);
    displaySource().query = std::move(source);
}

MachineFacts currentMachineFacts() {
    MachineFacts facts;
    facts.build = QUORLINTH_VERSION;
    std::string osRelease = readText("/etc/os-release");
    if (osRelease.empty()) osRelease = readText("/usr/lib/os-release");
    facts.osVersion = osPrettyName(osRelease);
    facts.model = trimmed(readText("/sys/class/dmi/id/product_name"));
    if (facts.model.empty()) facts.model = kUnknown;
    facts.display = currentDisplayFacts();
    facts.proxyTun = proxyTunInterface();
    return facts;
}

} // namespace quorlinth
