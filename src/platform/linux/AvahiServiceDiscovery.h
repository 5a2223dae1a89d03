#pragma once

#include "platform/ServiceDiscovery.h"

#include <memory>

namespace quorlinth {

// Multicast DNS through the Avahi daemon. One client on its own poll thread; when the daemon
// is absent or restarts, advertisements and browsers come back once it answers again.
// Services are resolved to IPv4 addresses; each name is reported once.
class AvahiServiceDiscovery : public ServiceDiscovery {
public:
    AvahiServiceDiscovery();
    ~AvahiServiceDiscovery() override;

    std::unique_ptr<Observation> publish(const std::string& name, const std::string& type, uint16_t port,
                                         std::function<void(std::string)> onFailure) override;
    std::unique_ptr<Observation> browse(const std::string& type,
                                        std::function<void(std::vector<DiscoveredService>)> update) override;

    struct State;

private:
    std::shared_ptr<State> state;
};

} // namespace quorlinth
