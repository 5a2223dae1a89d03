#pragma once

#include "rtc/RTCFactory.h"

#include <memory>
#include <mutex>
#include <vector>

namespace quorlinth::testing {

// Remote candidates that arrive before the remote description wait here and go into the peer,
// in order, once it is applied. Any thread.
class EarlyCandidates {
public:
    void add(const std::shared_ptr<RTCPeerConnection>& peer, const RTCIceCandidate& candidate) {
        std::lock_guard lock(mutex);
        if (remoteSet)
            peer->addIceCandidate(candidate);
        else
            waiting.push_back(candidate);
    }

    void remoteApplied(const std::shared_ptr<RTCPeerConnection>& peer) {
        std::lock_guard lock(mutex);
        remoteSet = true;
        for (const auto& candidate : waiting)
            peer->addIceCandidate(candidate);
        waiting.clear();
    }

private:
    std::mutex mutex;
    bool remoteSet = false;
    std::vector<RTCIceCandidate> waiting;
};

} // namespace quorlinth::testing
