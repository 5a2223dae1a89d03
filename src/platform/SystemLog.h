#pragma once

#include <string>

namespace quorlinth {

// The system's own log (journald/syslog here), category "connection". Any thread.
class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void write(const std::string& text) = 0;
};

} // namespace quorlinth
