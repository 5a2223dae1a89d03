#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace quorlinth {

// Ends an observation when destroyed (or when reset); safe to outlive what it observes.
class Subscription {
public:
    Subscription() = default;
    explicit Subscription(std::function<void()> cancel) : cancel(std::move(cancel)) {}
    Subscription(Subscription&& other) noexcept : cancel(std::exchange(other.cancel, {})) {}
    Subscription& operator=(Subscription&& other) noexcept {
        reset();
        cancel = std::exchange(other.cancel, {});
        return *this;
    }
    ~Subscription() { reset(); }
    void reset() {
        if (auto c = std::exchange(cancel, {})) c();
    }

private:
    std::function<void()> cancel;
};

// A published value: observers hear every change to a different value. Lives on one thread
// (the main queue for the model); observers run synchronously, in subscription order.
template <class T> class Observable {
public:
    explicit Observable(T initial = T{}) : current(std::move(initial)) {}
    Observable(const Observable&) = delete;
    Observable& operator=(const Observable&) = delete;

    const T& get() const { return current; }
    operator const T&() const { return current; }

    // Returns whether the value changed (and observers were told).
    bool set(T value) {
        if (value == current) return false;
        current = std::move(value);
        auto snapshot = observers->observers; // an observer may subscribe or cancel meanwhile
        for (auto& [id, observer] : snapshot)
            if (observers->observers.count(id)) observer(current);
        return true;
    }

    // Observing changes nothing about the value: the observer list lives beside it.
    [[nodiscard]] Subscription observe(std::function<void(const T&)> observer) const {
        uint64_t id = observers->next++;
        observers->observers.emplace(id, std::move(observer));
        return Subscription([weak = std::weak_ptr<List>(observers), id] {
            if (auto list = weak.lock()) list->observers.erase(id);
        });
    }

private:
    struct List {
        uint64_t next = 0;
        std::map<uint64_t, std::function<void(const T&)>> observers;
    };
    T current;
    std::shared_ptr<List> observers = std::make_shared<List>();
};

} // namespace quorlinth
