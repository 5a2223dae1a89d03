#pragma once

#include "base/Scheduler.h"

#include <functional>
#include <memory>
#include <tuple>
#include <utility>

namespace quorlinth {

// Makes a callback that holds its owner weakly and runs `body(owner, args...)` on `queue`.
// Once the owner (or the queue) is gone, calling it does nothing.
//
//   onFrame = weakCallback<Frame>(weak_from_this(), mainQueue(),
//                                 [](Session& self, Frame frame) { self.show(frame); });
// `owner` is a shared_ptr or weak_ptr; only a weak reference is kept.
template <class... Args, class OwnerPointer, class Body>
std::function<void(Args...)> weakCallback(const OwnerPointer& owner, const Dispatcher& queue, Body body) {
    return [owner = std::weak_ptr(owner), target = std::weak_ptr<Scheduler>(queue.handle()),
            body = std::move(body)](Args... args) {
        auto scheduler = target.lock();
        if (!scheduler) return;
        scheduler->post([owner, body, arguments = std::make_tuple(std::move(args)...)]() mutable {
            if (auto self = owner.lock()) {
                std::apply([&](auto&... unpacked) { body(*self, std::move(unpacked)...); }, arguments);
            }
        });
    };
}

} // namespace quorlinth
