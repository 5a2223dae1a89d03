#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace quorlinth {

// The honest buffered amount of one data channel: bytes accepted by send minus the bytes the
// SCTP encoder has handed to its (bounded) socket for the channel's stream. The encoder's count
// also includes the channel-establishment message, which the channel never accepted from us.
class RTCSendAccounting {
public:
    // `locallyOpened`: this side sent the open request (12 bytes + label + protocol); otherwise
    // it sent the one-byte acknowledgement.
    RTCSendAccounting(bool locallyOpened, const std::string& label, const std::string& protocol = "");

    // Empty messages travel as one byte.
    void accept(uint64_t messageBytes) { accepted += messageBytes == 0 ? 1 : messageBytes; }
    // A message the engine refused after all.
    void withdraw(uint64_t messageBytes) {
        accepted -= std::min(accepted, messageBytes == 0 ? 1 : messageBytes);
    }
    uint64_t bufferedAmount(uint64_t encoderBytesSent) const;

private:
    uint64_t accepted = 0;
    uint64_t establishment = 0;
};

} // namespace quorlinth
