#pragma once

#include "platform/ServiceDiscovery.h"

#include <mutex>
#include <optional>

namespace quorlinth {

// Records what is advertised and lets a test announce what browsers see.
class FakeServiceDiscovery : public ServiceDiscovery {
public:
    struct Publication {
        std::string name, type;
        uint16_t port = 0;
        bool operator==(const Publication&) const = default;
    };

    // Advertisements whose observation is still alive.
    std::vector<Publication> published() const;
    // Delivers `services` to every browser of `type`.
    void announce(const std::string& type, std::vector<DiscoveredService> services);
    // Fails every live advertisement with `description`.
    void failPublications(const std::string& description);

    std::unique_ptr<Observation> publish(const std::string& name, const std::string& type, uint16_t port,
                                         std::function<void(std::string)> onFailure) override;
    std::unique_ptr<Observation> browse(const std::string& type,
                                        std::function<void(std::vector<DiscoveredService>)> update) override;

private:
    struct Entry {
        Publication publication;
        std::function<void(std::string)> onFailure;
        std::function<void(std::vector<DiscoveredService>)> update; // browsers only
        bool browser = false;
    };
    struct State {
        std::mutex mutex;
        std::vector<std::shared_ptr<Entry>> entries;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
};

} // namespace quorlinth
