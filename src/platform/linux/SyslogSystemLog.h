#pragma once

#include "platform/SystemLog.h"

namespace quorlinth {

// Writes to syslog, which journald collects, under the identifier "quorlinth".
class SyslogSystemLog : public SystemLog {
public:
    SyslogSystemLog();
    ~SyslogSystemLog() override;
    void write(const std::string& text) override;
};

} // namespace quorlinth
