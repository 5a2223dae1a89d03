#pragma once

#include "platform/SessionMonitor.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace quorlinth {

// Session state a test sets directly; `send` delivers an event to every observer.
class FakeSessionMonitor : public SessionMonitor {
public:
    std::atomic<bool> lid{false};
    std::atomic<bool> systemSharing{false};
    std::atomic<bool> locked{false};

    void send(SessionEvent event);

    bool lidClosed() override { return lid; }
    bool systemScreenSharingActive() override { return systemSharing; }
    bool screenLocked() override { return locked; }
    std::unique_ptr<Observation> observe(std::function<void(SessionEvent)> event) override;

private:
    struct Observers {
        std::mutex mutex;
        std::vector<std::function<void(SessionEvent)>*> list;
    };
    std::shared_ptr<Observers> observers = std::make_shared<Observers>();
};

} // namespace quorlinth
