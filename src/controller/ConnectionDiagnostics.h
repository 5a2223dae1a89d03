#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorlinth {

class SystemLog;

// The process-wide connection log: a bounded in-memory list, the system log and a sink
// (the file log, installed at start-up).
class ConnectionDiagnostics {
public:
    static constexpr size_t kMaxEvents = 600;

    static ConnectionDiagnostics& shared();

    // Any thread.
    void log(const std::string& text);
    void setSink(std::function<void(const std::string&)> sink);
    void setSystemLog(std::shared_ptr<SystemLog> systemLog);
    std::vector<std::string> events() const;

private:
    mutable std::mutex lock;
    std::deque<std::string> lines;
    std::function<void(const std::string&)> sink;
    std::shared_ptr<SystemLog> systemLog;
};

} // namespace quorlinth
