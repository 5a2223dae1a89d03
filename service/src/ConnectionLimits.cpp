#include "ConnectionLimits.h"

namespace quorlinth::service {

ConnectionLimits::ConnectionLimits(Caps caps, std::vector<std::string> trustedProxies)
    : caps(caps), trusted(trustedProxies.begin(), trustedProxies.end()) {}

std::shared_ptr<ConnectionLimits::Slot> ConnectionLimits::admit(const std::string& address) {
    std::lock_guard lock(mutex);
    if (total >= caps.connections) return nullptr;
    bool counted = !isTrustedProxy(address);
    if (counted) {
        size_t& count = perAddress[address];
        if (count >= caps.connectionsPerAddress) return nullptr;
        ++count;
    }
    ++total;
    return std::make_shared<Slot>(*this, counted ? address : std::string());
}

void ConnectionLimits::release(const std::string& address) {
    std::lock_guard lock(mutex);
    --total;
    if (address.empty()) return;
    auto found = perAddress.find(address);
    if (found != perAddress.end() && --found->second == 0) perAddress.erase(found);
}

bool ConnectionLimits::reserveBody(uint64_t bytes) {
    std::lock_guard lock(mutex);
    if (bodyBytes + bytes > caps.bodyBytes) return false;
    bodyBytes += bytes;
    return true;
}

void ConnectionLimits::releaseBody(uint64_t bytes) {
    std::lock_guard lock(mutex);
    bodyBytes -= bytes;
}

} // namespace quorlinth::service
