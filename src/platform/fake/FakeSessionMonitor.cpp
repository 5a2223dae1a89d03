#include "platform/fake/FakeSessionMonitor.h"

#include <algorithm>

namespace quorlinth {

namespace {

template <class Observers, class Callback> class ListedObservation : public Observation {
public:
    ListedObservation(std::shared_ptr<Observers> observers, Callback callback)
        : observers(std::move(observers)), callback(std::move(callback)) {
        std::lock_guard lock(this->observers->mutex);
        this->observers->list.push_back(&this->callback);
    }
    ~ListedObservation() override {
        std::lock_guard lock(observers->mutex);
        std::erase(observers->list, &callback);
    }

private:
    std::shared_ptr<Observers> observers;
    Callback callback;
};

} // namespace

void FakeSessionMonitor::send(SessionEvent event) {
    std::lock_guard lock(observers->mutex);
    for (auto* observer : observers->list)
        (*observer)(event);
}

std::unique_ptr<Observation> FakeSessionMonitor::observe(std::function<void(SessionEvent)> event) {
    return std::make_unique<ListedObservation<Observers, std::function<void(SessionEvent)>>>(
        observers, std::move(event));
}

} // namespace quorlinth
