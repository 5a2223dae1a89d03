#pragma once

// Per-frame stage instants for the latency benchmark. When QUORLINTH_MEDIA_TRACE names a file,
// each engine of the process appends one line per stage a frame passes, keyed by the frame's RTP
// timestamp so that the sending and the receiving process can be joined:
//   frame <rtp> <captured ns> <encoder in ns> <encoded ns>    sender, as the frame is payloaded
//   sent <rtp> <ns>                                          sender, last packet to the socket
//   received <rtp> <ns>                                      receiver, last packet from the socket
//   decoded <rtp> <ns>                                       receiver, picture converted
// Instants are CLOCK_MONOTONIC, shared by every process of the machine. Unset, nothing is kept.

#include <cstdint>
#include <cstdio>
#include <gst/gst.h>
#include <mutex>
#include <optional>

namespace quorlinth::engine {

class MediaTrace {
public:
    // Null unless the environment asks for a trace.
    static MediaTrace* shared();

    void frame(uint32_t rtpTimestamp, int64_t capturedNs, int64_t encoderInNs, int64_t encodedNs);
    void stage(const char* name, uint32_t rtpTimestamp, int64_t ns);

    // Notes `name` for every packet through `pad` that ends a frame (RTP marker bit), read from
    // the clear RTP header, so the probe works on encrypted packets too.
    void tracePackets(GstPad* pad, const char* name);

    // The timestamp of a packet that ends a frame; empty for anything else (RTCP, STUN, DTLS).
    static std::optional<uint32_t> frameEndTimestamp(const uint8_t* data, size_t size);

private:
    explicit MediaTrace(std::FILE* file) : file(file) {}
    std::mutex mutex;
    std::FILE* file;
};

} // namespace quorlinth::engine
