#pragma once

#include "base/Json.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quorlinth {

class MacShareHost;

// Where the LAN host attaches an accepted controller's session: the share host, held weakly.
class LANSessionTarget {
public:
    virtual ~LANSessionTarget() = default;
    // The new session's id, or nullopt when no session can be opened (target gone or busy).
    // `send` carries the target's signaling to the controller; it may be called on any thread.
    virtual std::optional<std::string> attachLocal(const std::string& controllerID,
                                                   std::function<void(Json)> send) = 0;
    // A signaling message from the controller; ignored once the target is gone.
    virtual void receiveLocal(Json message) = 0;
};

// The share host as a session target; it is not kept alive by the LAN host.
std::shared_ptr<LANSessionTarget> shareHostTarget(std::weak_ptr<MacShareHost> host);

} // namespace quorlinth
