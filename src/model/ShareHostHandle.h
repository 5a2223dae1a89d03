#pragma once

#include "account/MacCredentials.h"
#include "account/MacServiceConfig.h"
#include "capture/StreamProfile.h"
#include "host/MacShareHost.h"
#include "lan/LANSessionTarget.h"
#include "platform/PixelBuffer.h"

#include <functional>
#include <memory>
#include <string>

namespace quorlinth {

class RTCDataChannel;

// What a running share tells the model; every callback runs on the main queue, except
// `inputReady`, which the host asks on its own queue.
struct ShareHostCallbacks {
    std::function<void(MacShareHost::Request, std::function<void(bool)> decide)> onRequest;
    std::function<void()> onConnect;
    std::function<void()> onDisconnect;
    std::function<void(std::string message)> onInput;
    std::function<bool()> inputReady;
    std::function<void(std::shared_ptr<RTCDataChannel>, std::string controllerID)> onTransferChannel;
    std::function<void(int64_t fps)> onFrameRate;
};

// The share host as the model drives it: the real one over the service, or a recording fake.
class ShareHostHandle {
public:
    virtual ~ShareHostHandle() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void cachePixels(SharedPixels pixels) = 0; // any thread
    // Where sessions carried by the LAN link attach; null when this host takes none.
    virtual std::shared_ptr<LANSessionTarget> lanTarget() = 0;
    // The viewer's media route once known; any thread.
    virtual std::optional<RTCMediaRoute> route() const = 0;
};

using ShareHostFactory = std::function<std::shared_ptr<ShareHostHandle>(
    const MacCredentials& credentials, MacShareQuality quality, ShareHostCallbacks callbacks)>;

// Share hosts over `service`, built from `options` (credentials, quality and the service's
// address are filled in per share).
ShareHostFactory serviceShareHosts(MacServiceConfig service, MacShareHost::Options options);

} // namespace quorlinth
