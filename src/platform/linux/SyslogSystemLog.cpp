#include "platform/linux/SyslogSystemLog.h"

#include <syslog.h>

namespace quorlinth {

SyslogSystemLog::SyslogSystemLog() {
    openlog("quorlinth", LOG_PID, LOG_USER);
}

SyslogSystemLog::~SyslogSystemLog() {
    closelog();
}

void SyslogSystemLog::write(const std::string& text) {
    syslog(LOG_NOTICE, "%s", text.c_str());
}

} // namespace quorlinth
