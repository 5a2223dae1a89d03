#pragma once

#include "base/MediaRoute.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

namespace quorlinth {

// A value read and written only under its own lock: the few flags one queue reads
// while another thread writes them. Never hold it across a call into another component.
template <class T> class LockedBox {
public:
    explicit LockedBox(T initial = T{}) : value(std::move(initial)) {}
    LockedBox(const LockedBox&) = delete;
    LockedBox& operator=(const LockedBox&) = delete;

    T get() const {
        std::lock_guard lock(mutex);
        return value;
    }
    void set(T newValue) {
        std::lock_guard lock(mutex);
        value = std::move(newValue);
    }
    // Applies `change` to the value under the lock and returns the new value.
    template <class F> T update(F&& change) {
        std::lock_guard lock(mutex);
        change(value);
        return value;
    }

private:
    mutable std::mutex mutex;
    T value;
};

using LockedInputFlag = LockedBox<bool>;
using LockedRoute = LockedBox<std::optional<RTCMediaRoute>>;

// Session generation counter of the share host; starts at 0.
class InputEpoch {
public:
    uint64_t value() const { return box.get(); }
    uint64_t increment() {
        return box.update([](uint64_t& v) { ++v; });
    }

private:
    LockedBox<uint64_t> box{0};
};

} // namespace quorlinth
