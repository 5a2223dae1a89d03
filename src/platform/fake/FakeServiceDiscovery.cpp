#include "platform/fake/FakeServiceDiscovery.h"

#include <algorithm>

namespace quorlinth {

namespace {

// Removes its entry from the fake's list when destroyed.
template <class State, class Entry> class ListedEntry : public Observation {
public:
    ListedEntry(std::shared_ptr<State> state, std::shared_ptr<Entry> entry)
        : state(std::move(state)), entry(std::move(entry)) {
        std::lock_guard lock(this->state->mutex);
        this->state->entries.push_back(this->entry);
    }
    ~ListedEntry() override {
        std::lock_guard lock(state->mutex);
        std::erase(state->entries, entry);
    }

private:
    std::shared_ptr<State> state;
    std::shared_ptr<Entry> entry;
};

} // namespace

std::vector<FakeServiceDiscovery::Publication> FakeServiceDiscovery::published() const {
    std::lock_guard lock(state->mutex);
    std::vector<Publication> list;
    for (const auto& entry : state->entries)
        if (!entry->browser) list.push_back(entry->publication);
    return list;
}

void FakeServiceDiscovery::announce(const std::string& type, std::vector<DiscoveredService> services) {
    std::vector<std::shared_ptr<Entry>> browsers;
    {
        std::lock_guard lock(state->mutex);
        for (const auto& entry : state->entries)
            if (entry->browser && entry->publication.type == type) browsers.push_back(entry);
    }
    for (const auto& browser : browsers)
        browser->update(services);
}

void FakeServiceDiscovery::failPublications(const std::string& description) {
    std::vector<std::shared_ptr<Entry>> publications;
    {
        std::lock_guard lock(state->mutex);
        for (const auto& entry : state->entries)
            if (!entry->browser) publications.push_back(entry);
    }
    for (const auto& publication : publications)
        if (publication->onFailure) publication->onFailure(description);
}

std::unique_ptr<Observation> FakeServiceDiscovery::publish(const std::string& name, const std::string& type,
                                                           uint16_t port,
                                                           std::function<void(std::string)> onFailure) {
    auto entry = std::make_shared<Entry>(Entry{{name, type, port}, std::move(onFailure), nullptr, false});
    return std::make_unique<ListedEntry<State, Entry>>(state, entry);
}

std::unique_ptr<Observation>
FakeServiceDiscovery::browse(const std::string& type,
                             std::function<void(std::vector<DiscoveredService>)> update) {
    auto entry = std::make_shared<Entry>(Entry{{"", type, 0}, nullptr, std::move(update), true});
    return std::make_unique<ListedEntry<State, Entry>>(state, entry);
}

} // namespace quorlinth
