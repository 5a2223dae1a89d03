#pragma once

#include "base/SerialQueue.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace quorlinth {

// The application's diagnostic log: "quorlinth.log" plus one previous generation
// "quorlinth.1.log", rotated by size. Every file operation runs on one serial queue in call
// order; file errors are swallowed so logging never fails the caller. Never log passwords,
// tokens, clipboard or screen content.
class MacLog {
public:
    static constexpr const char* kCurrentName = "quorlinth.log";
    static constexpr const char* kPreviousName = "quorlinth.1.log";
    // A current file larger than this is rotated before the next append.
    static constexpr uintmax_t kRotationLimit = 1'000'000;

    // The process-wide log in appStateDir()/logs; disabled under the test harness.
    static MacLog& shared();

    // A log on `folder`; tests use this to log on a temporary folder on purpose.
    MacLog(std::filesystem::path folder, bool enabled);
    ~MacLog();
    MacLog(const MacLog&) = delete;
    MacLog& operator=(const MacLog&) = delete;

    // Returns at once; the line is written on the log's queue. Line feeds become spaces.
    void log(std::string text);
    // Up to the last `maxBytes` bytes of the previous and current file, starting at a line start,
    // with invalid UTF-8 repaired. Waits for queued writes first.
    std::string tail(size_t maxBytes);
    // Waits until every queued write is done.
    void flush();

    // One line describing this machine and session (build, OS, model, permissions, screens, TUN).
    static std::string environmentLine();

    const std::filesystem::path& folder() const { return directory; }
    bool enabled() const { return isEnabled; }

private:
    void append(const std::string& line);

    std::filesystem::path directory;
    bool isEnabled;
    SerialQueue queue{"quorlinth.log"};
};

// True when the process runs under a test harness (env "XCTestConfigurationFilePath" or
// "QUORLINTH_TEST"), which keeps the shared log from writing.
bool runningUnderTestHarness();

} // namespace quorlinth
