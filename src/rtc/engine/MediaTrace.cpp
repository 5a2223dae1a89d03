#include "rtc/engine/MediaTrace.h"

#include <chrono>
#include <cstdlib>

namespace quorlinth::engine {

namespace {

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void noteBuffer(MediaTrace& trace, const char* name, GstBuffer* buffer, int64_t ns) {
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
    auto timestamp = MediaTrace::frameEndTimestamp(map.data, map.size);
    gst_buffer_unmap(buffer, &map);
    if (timestamp) trace.stage(name, *timestamp, ns);
}

} // namespace

MediaTrace* MediaTrace::shared() {
    static MediaTrace* trace = []() -> MediaTrace* {
        const char* path = std::getenv("QUORLINTH_MEDIA_TRACE");
        if (!path || !*path) return nullptr;
        std::FILE* file = std::fopen(path, "a");
        return file ? new MediaTrace(file) : nullptr; // lives as long as the process
    }();
    return trace;
}

void MediaTrace::frame(uint32_t rtpTimestamp, int64_t capturedNs, int64_t encoderInNs, int64_t encodedNs) {
    std::lock_guard lock(mutex);
    std::fprintf(file, "frame %u %lld %lld %lld\n", rtpTimestamp, static_cast<long long>(capturedNs),
                 static_cast<long long>(encoderInNs), static_cast<long long>(encodedNs));
    std::fflush(file);
}

void MediaTrace::stage(const char* name, uint32_t rtpTimestamp, int64_t ns) {
    std::lock_guard lock(mutex);
    std::fprintf(file, "%s %u %lld\n", name, rtpTimestamp, static_cast<long long>(ns));
    std::fflush(file);
}

std::optional<uint32_t> MediaTrace::frameEndTimestamp(const uint8_t* data, size_t size) {
    if (size < 12 || (data[0] & 0xC0) != 0x80) return std::nullopt; // not RTP version 2
    if (data[1] >= 192 && data[1] <= 223) return std::nullopt;      // RTCP sharing the port
    if (!(data[1] & 0x80)) return std::nullopt;                     // not the frame's last packet
    return uint32_t(data[4]) << 24 | uint32_t(data[5]) << 16 | uint32_t(data[6]) << 8 | data[7];
}

void MediaTrace::tracePackets(GstPad* pad, const char* name) {
    gst_pad_add_probe(
        pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto* name = static_cast<const char*>(data);
            MediaTrace& trace = *MediaTrace::shared();
            int64_t ns = nowNs();
            if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
                noteBuffer(trace, name, GST_PAD_PROBE_INFO_BUFFER(info), ns);
            } else {
                GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
                for (guint index = 0; index < gst_buffer_list_length(list); ++index)
                    noteBuffer(trace, name, gst_buffer_list_get(list, index), ns);
            }
            return GST_PAD_PROBE_OK;
        },
        const_cast<char*>(name), nullptr);
}

} // namespace quorlinth::engine
