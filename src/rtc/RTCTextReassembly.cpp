#include "rtc/RTCTextReassembly.h"

#include "base/Json.h"

namespace quorlinth {

std::optional<std::string> RTCTextReassembly::add(std::string piece) {
    if (pending.empty() && (piece.size() < kPartialDeliveryPoint || Json::accept(piece))) return piece;
    pending += piece;
    if (!Json::accept(pending) && pending.size() <= limit) return std::nullopt;
    std::string whole = std::move(pending);
    pending.clear();
    return whole;
}

} // namespace quorlinth
