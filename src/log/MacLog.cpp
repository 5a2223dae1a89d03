#include "log/MacLog.h"

#include "log/MachineFacts.h"
#include "log/Utf8Repair.h"
#include "store/Paths.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <future>
#include <system_error>
#include <unistd.h>

namespace quorlinth {

namespace fs = std::filesystem;

namespace {

// 2026-01-02T03:04:05.678Z
std::string utcStamp(std::chrono::system_clock::time_point now) {
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(sinceEpoch.count() / 1000);
    const int millis = static_cast<int>(sinceEpoch.count() % 1000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03dZ", millis);
    return std::string(text, length) + fraction;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// The last `count` bytes of a file (fewer when it is shorter); empty when it is missing.
std::string readLastBytes(const fs::path& path, size_t count) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    const off_t size = ::lseek(fd, 0, SEEK_END);
    std::string bytes;
    if (size > 0) {
        const size_t wanted = std::min(count, static_cast<size_t>(size));
        bytes.resize(wanted);
        size_t got = 0;
        while (got < wanted) {
            const ssize_t read =
                ::pread(fd, bytes.data() + got, wanted - got, size - off_t(wanted) + off_t(got));
            if (read < 0 && errno == EINTR) continue;
            if (read <= 0) break;
            got += static_cast<size_t>(read);
        }
        bytes.resize(got);
    }
    ::close(fd);
    return bytes;
}

} // namespace

bool runningUnderTestHarness() {
    return std::getenv("XCTestConfigurationFilePath") != nullptr || std::getenv("QUORLINTH_TEST") != nullptr;
}

MacLog& MacLog::shared() {
    // Never destroyed: other threads may still log while the process exits. What is queued by
    // then is written at exit.
    static auto* log = [] {
        auto* created = new MacLog(appStateDir() / "logs", !runningUnderTestHarness());
        std::atexit([] { MacLog::shared().flush(); });
        return created;
    }();
    return *log;
}

MacLog::MacLog(fs::path folder, bool enabled) : directory(std::move(folder)), isEnabled(enabled) {}

MacLog::~MacLog() {
    flush();
}

void MacLog::log(std::string text) {
    if (!isEnabled) return;
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::string line = utcStamp(std::chrono::system_clock::now()) + " " + text + "\n";
    queue.post([this, line = std::move(line)] { append(line); });
}

void MacLog::append(const std::string& line) {
    std::error_code ignored;
    fs::create_directories(directory, ignored);
    const fs::path current = directory / kCurrentName;
    const fs::path previous = directory / kPreviousName;
    const uintmax_t size = fs::file_size(current, ignored);
    if (!ignored && size > kRotationLimit) {
        fs::remove(previous, ignored);
        fs::rename(current, previous, ignored);
    }
    const int fd = ::open(current.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    (void)writeAll(fd, line);
    ::close(fd);
}

std::string MacLog::tail(size_t maxBytes) {
    auto readTail = [this, maxBytes] {
        if (maxBytes == 0) return std::string();
        // One byte more than asked shows whether the cut falls exactly on a line start.
        const size_t wanted = maxBytes + 1;
        std::string text = readLastBytes(directory / kCurrentName, wanted);
        if (text.size() < wanted) {
            std::string earlier = readLastBytes(directory / kPreviousName, wanted - text.size());
            // A previous file cut short by a crash must not glue its last line to the next one.
            if (!earlier.empty() && earlier.back() != '\n') earlier += '\n';
            text = earlier + text;
        }
        if (text.size() <= maxBytes) return repairUtf8(text);
        const size_t cut = text.size() - maxBytes;
        size_t start = cut;
        if (text[cut - 1] != '\n') {
            const size_t lineFeed = text.find('\n', cut);
            start = lineFeed == std::string::npos ? text.size() : lineFeed + 1;
        }
        return repairUtf8(std::string_view(text).substr(start));
    };
    if (queue.isCurrent()) return readTail();
    std::packaged_task<std::string()> task(readTail);
    std::future<std::string> result = task.get_future();
    queue.post([&task] { task(); });
    return result.get();
}

void MacLog::flush() {
    if (queue.isCurrent()) return;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    queue.post([&done] { done.set_value(); });
    finished.wait();
}

std::string MacLog::environmentLine() {
    return formatEnvironmentLine(currentMachineFacts());
}

} // namespace quorlinth
