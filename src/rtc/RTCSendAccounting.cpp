#include "rtc/RTCSendAccounting.h"

namespace quorlinth {

RTCSendAccounting::RTCSendAccounting(bool locallyOpened, const std::string& label,
                                     const std::string& protocol)
    : establishment(locallyOpened ? 12 + label.size() + protocol.size() : 1) {}

uint64_t RTCSendAccounting::bufferedAmount(uint64_t encoderBytesSent) const {
    uint64_t delivered = encoderBytesSent > establishment ? encoderBytesSent - establishment : 0;
    return delivered >= accepted ? 0 : accepted - delivered;
}

} // namespace quorlinth
