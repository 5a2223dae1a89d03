#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorlinth {

// One monitor as the display server reports it.
struct ScreenFacts {
    std::string name;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// What the display server tells about permissions and screens.
struct DisplayFacts {
    bool screenRecording = false; // the display can be captured
    bool accessibility = false;   // input can be injected
    std::vector<ScreenFacts> screens;
};

// What environmentLine() reports, gathered separately so the formatting can be tested.
struct MachineFacts {
    std::string build;
    std::string osVersion;
    std::string model;
    DisplayFacts display;
    std::optional<std::string> proxyTun;
};

// "build=… macOS=… model=… screenRecording=… accessibility=… screens=[…] proxyTUN=…"
std::string formatEnvironmentLine(const MachineFacts& facts);

// PRETTY_NAME from os-release text; "?" when absent.
std::string osPrettyName(const std::string& osReleaseText);

// The log stays free of display-server libraries: the application installs the source of
// display facts at start-up (see X11DisplayFacts.h). Without one, the display is reported as
// unavailable.
void setDisplayFactsSource(std::function<DisplayFacts()> source);

// Facts of this machine: /etc/os-release, the DMI product name, the installed display source
// and the interface list.
MachineFacts currentMachineFacts();

} // namespace quorlinth
