#pragma once

#include <atomic>
#include <cstdint>

namespace quorlinth {

// Says when the receiver should ask for a key frame again. After a loss the depayloader asks
// once and then drops every picture until a key frame comes; when that one request (or the key
// frame) is lost too, the view would stay frozen until the encoder's periodic key frame, seconds
// away. So while pictures keep arriving and none is decoded, the request is repeated, no more
// often than the sender serves key frames.
class RTCKeyFrameRecovery {
public:
    static constexpr int64_t kFrozenNs = 400'000'000;
    // This engine's sender serves one key frame per spacing; asking more often gains nothing.
    static constexpr int64_t kKeyFrameSpacingNs = 500'000'000;

    // Any thread: a packet reached the depayloader; a picture came out of the decoder.
    void noteArrived(int64_t nowNs);
    void noteDecoded(int64_t nowNs) { lastDecodedNs.store(nowNs, std::memory_order_relaxed); }
    // One thread (the engine's queue). True when a request is due now; it counts as made.
    bool requestDue(int64_t nowNs);

private:
    std::atomic<int64_t> firstArrivedNs{0};
    std::atomic<int64_t> lastArrivedNs{0};
    std::atomic<int64_t> lastDecodedNs{0};
    int64_t lastRequestNs = 0;
};

} // namespace quorlinth
