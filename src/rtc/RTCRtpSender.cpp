#include "rtc/RTCRtpSender.h"

#include "rtc/engine/MediaTrace.h"
#include "rtc/engine/PeerEngine.h"

#include <cmath>
#include <gst/app/gstappsrc.h>
#include <gst/rtp/rtp.h>
#include <gst/video/video.h>

namespace quorlinth {

using namespace engine;

namespace {

constexpr int64_t kDefaultBitrateBps = 2'500'000;
constexpr int kDefaultFramerate = 30;
// The meta that carries a traced frame's capture instant (timestamp) and its wait before the
// encoder (duration) through the encoder.
constexpr const char* kStageCaps = "timestamp/x-quorlinth-stages";

GstCaps* stageCaps() {
    static GstCaps* caps = gst_caps_new_empty_simple(kStageCaps); // shared for the process
    return caps;
}

GstCaps* sendCaps(const RTCSdpVideoCodec& codec, std::optional<int> transportCcId) {
    GstStructure* structure =
        gst_structure_new("application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name",
                          G_TYPE_STRING, "H264", "clock-rate", G_TYPE_INT, 90000, "payload", G_TYPE_INT,
                          codec.payloadType, "rtcp-fb-nack", G_TYPE_BOOLEAN, TRUE, "rtcp-fb-nack-pli",
                          G_TYPE_BOOLEAN, TRUE, "rtcp-fb-ccm-fir", G_TYPE_BOOLEAN, TRUE, nullptr);
    for (const char* name : {"profile-level-id", "packetization-mode", "level-asymmetry-allowed"}) {
        auto found = codec.info.parameters.find(name);
        if (found != codec.info.parameters.end())
            gst_structure_set(structure, name, G_TYPE_STRING, found->second.c_str(), nullptr);
    }
    if (transportCcId) setTransportCcExtension(structure, *transportCcId);
    GstCaps* caps = gst_caps_new_empty();
    gst_caps_append_structure(caps, structure);
    return caps;
}

} // namespace

Result<void> RTCRtpSender::Impl::build(GstBin* pipeline, GstElement* webrtc, const RTCSdpVideoCodec& codec,
                                       std::optional<int> transportCcId) {
    GstElement* source = makeElement("appsrc");
    GstElement* x264 = makeElement("x264enc");
    GstElement* h264Filter = makeElement("capsfilter");
    GstElement* payloader = makeElement("rtph264pay");
    if (!source || !x264 || !h264Filter || !payloader) return Error{"an H.264 send element is missing"};

    // A slow encoder drops the oldest waiting picture instead of building a backlog.
    g_object_set(source, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", TRUE, "max-buffers",
                 static_cast<guint64>(2), nullptr);
    gst_util_set_object_arg(G_OBJECT(source), "leaky-type", "downstream");
    gst_util_set_object_arg(G_OBJECT(x264), "tune", "zerolatency");
    gst_util_set_object_arg(G_OBJECT(x264), "speed-preset", "ultrafast");
    g_object_set(x264, "bitrate", static_cast<guint>(bitrateBps() / 1000), "key-int-max", 300, "bframes", 0,
                 "rc-lookahead", 0, "sliced-threads", TRUE, "vbv-buf-capacity", 120, nullptr);
    GstCaps* h264Caps =
        gst_caps_from_string("video/x-h264,profile=constrained-baseline,stream-format=byte-stream");
    g_object_set(h264Filter, "caps", h264Caps, nullptr);
    gst_caps_unref(h264Caps);
    gst_util_set_object_arg(G_OBJECT(payloader), "aggregate-mode", "zero-latency");
    g_object_set(payloader, "config-interval", -1, "pt", static_cast<guint>(codec.payloadType), nullptr);
    if (transportCcId) {
        GstRTPHeaderExtension* extension = gst_rtp_header_extension_create_from_uri(kTransportCcUri);
        if (extension) {
            gst_rtp_header_extension_set_id(extension, static_cast<guint>(*transportCcId));
            g_signal_emit_by_name(payloader, "add-extension", extension);
            gst_object_unref(extension);
        }
    }
    // The pinned profile-level-id would reach the encoder as a level limit (1080p exceeds level
    // 3.1 of a typical offer); the level is the offerer's receive level, asymmetry allowed.
    GstPad* payloaded = gst_element_get_static_pad(payloader, "src");
    gst_pad_add_probe(
        payloaded, GST_PAD_PROBE_TYPE_QUERY_DOWNSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer) {
            GstQuery* query = GST_PAD_PROBE_INFO_QUERY(info);
            if (!(GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_PULL) ||
                GST_QUERY_TYPE(query) != GST_QUERY_CAPS)
                return GST_PAD_PROBE_OK;
            GstCaps* result = nullptr;
            gst_query_parse_caps_result(query, &result);
            if (!result) return GST_PAD_PROBE_OK;
            GstCaps* relaxed = gst_caps_copy(result);
            for (guint index = 0; index < gst_caps_get_size(relaxed); ++index)
                gst_structure_remove_field(gst_caps_get_structure(relaxed, index), "profile-level-id");
            gst_query_set_caps_result(query, relaxed);
            gst_caps_unref(relaxed);
            return GST_PAD_PROBE_OK;
        },
        nullptr, nullptr);

    gst_bin_add_many(pipeline, source, x264, h264Filter, payloader, nullptr);
    if (!gst_element_link_many(source, x264, h264Filter, payloader, nullptr)) {
        gst_object_unref(payloaded);
        return Error{"the H.264 send chain could not be linked"};
    }
    // The transceiver's codec preferences pin the offered payload, profile and extension ids, so
    // the answer matches the offer.
    GstCaps* pinned = sendCaps(codec, transportCcId);
    GstPadTemplate* padTemplate = gst_element_get_pad_template(webrtc, "sink_%u");
    GstPad* sinkPad = gst_element_request_pad(webrtc, padTemplate, nullptr, pinned);
    if (!sinkPad) {
        gst_caps_unref(pinned);
        gst_object_unref(payloaded);
        return Error{"webrtcbin gave no sink pad"};
    }
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(sinkPad, "transceiver", &transceiver, nullptr);
    if (transceiver) {
        // Retransmits what the receiver reports lost (NACK, RTX), so one lost packet costs a
        // round trip instead of everything up to the next key frame.
        g_object_set(transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY,
                     "codec-preferences", pinned, "do-nack", TRUE, nullptr);
        gst_object_unref(transceiver);
    }
    gst_caps_unref(pinned);
    GstPadLinkReturn linked = gst_pad_link(payloaded, sinkPad);
    gst_object_unref(payloaded);
    if (linked != GST_PAD_LINK_OK) {
        gst_element_release_request_pad(webrtc, sinkPad);
        gst_object_unref(sinkPad);
        return Error{"the H.264 send chain could not reach webrtcbin"};
    }

    GstPad* encoded = gst_element_get_static_pad(x264, "src");
    gst_pad_add_probe(
        encoded, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            if (auto self = lockWeak<Impl>(data)) {
                int64_t now = monotonicNs();
                self->framesEncoded.fetch_add(1);
                self->encodedRate.note(now);
                if (MediaTrace::shared()) self->noteEncoded(GST_PAD_PROBE_INFO_BUFFER(info), now);
            }
            return GST_PAD_PROBE_OK;
        },
        new std::weak_ptr<Impl>(weak_from_this()),
        [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
    gst_pad_add_probe(
        encoded, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
            if (!gst_video_event_is_force_key_unit(event)) return GST_PAD_PROBE_OK;
            auto self = lockWeak<Impl>(data);
            return !self || self->admitKeyFrameRequest() ? GST_PAD_PROBE_OK : GST_PAD_PROBE_DROP;
        },
        new std::weak_ptr<Impl>(weak_from_this()),
        [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
    gst_object_unref(encoded);
    if (MediaTrace::shared()) tracePayloaded(payloader);

    for (GstElement* element : {payloader, h264Filter, x264, source})
        gst_element_sync_state_with_parent(element);
    {
        std::lock_guard lock(mutex);
        appsrc = GST_ELEMENT(gst_object_ref(source));
        encoder = GST_ELEMENT(gst_object_ref(x264));
        webrtcPad = sinkPad;
    }
    this->source->attach(weak_from_this());
    return {};
}

void RTCRtpSender::Impl::shutdown(GstElement* webrtc) {
    stopped = true;
    std::lock_guard lock(mutex);
    if (webrtcPad) {
        gst_element_release_request_pad(webrtc, webrtcPad);
        gst_object_unref(webrtcPad);
        webrtcPad = nullptr;
    }
    if (appsrc) gst_object_unref(appsrc);
    if (encoder) gst_object_unref(encoder);
    appsrc = encoder = nullptr;
}

bool RTCRtpSender::Impl::wantsFrame(int64_t timestampNs) {
    std::lock_guard lock(mutex);
    if (stopped || !appsrc) return false;
    // The rate controller may pace below the encoding's frame rate when the link is too slow.
    return pacer.admit(timestampNs, std::min(framerate(), rate.target().fps));
}

void RTCRtpSender::Impl::consumeFrame(RTCI420Frame frame) {
    GstElement* target;
    GstElement* owedTo = nullptr; // the encoder, when a key frame request waits to be served
    {
        std::lock_guard lock(mutex);
        if (stopped || !appsrc) return;
        target = GST_ELEMENT(gst_object_ref(appsrc));
        int nominal = framerate();
        if (frame.width != capsWidth || frame.height != capsHeight || nominal != capsRate) {
            GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width",
                                                G_TYPE_INT, frame.width, "height", G_TYPE_INT, frame.height,
                                                "framerate", GST_TYPE_FRACTION, nominal, 1, nullptr);
            gst_app_src_set_caps(GST_APP_SRC(target), caps);
            gst_caps_unref(caps);
            capsWidth = frame.width;
            capsHeight = frame.height;
            capsRate = nominal;
        }
        if (keyFrameOwed && monotonicNs() - lastKeyFrameRequestNs >= RTCKeyFrameRecovery::kKeyFrameSpacingNs)
            owedTo = GST_ELEMENT(gst_object_ref(encoder));
    }
    if (owedTo) {
        // Through the encoder's source pad, so the request is counted like the receiver's own.
        gst_element_send_event(owedTo,
                               gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0));
        gst_object_unref(owedTo);
    }
    auto* planes = new std::vector<uint8_t>(std::move(frame.planes));
    GstBuffer* buffer = gst_buffer_new_wrapped_full(
        GST_MEMORY_FLAG_READONLY, planes->data(), planes->size(), 0, planes->size(), planes,
        [](gpointer data) { delete static_cast<std::vector<uint8_t>*>(data); });
    if (MediaTrace::shared())
        gst_buffer_add_reference_timestamp_meta(buffer, stageCaps(), GstClockTime(frame.capturedNs),
                                                GstClockTime(monotonicNs() - frame.capturedNs));
    gst_app_src_push_buffer(GST_APP_SRC(target), buffer);
    gst_object_unref(target);
}

void RTCRtpSender::Impl::noteEncoded(GstBuffer* buffer, int64_t encodedNs) {
    GstReferenceTimestampMeta* meta = gst_buffer_get_reference_timestamp_meta(buffer, stageCaps());
    if (!meta || !GST_BUFFER_PTS_IS_VALID(buffer)) return;
    std::lock_guard lock(traceMutex);
    auto capturedNs = int64_t(meta->timestamp);
    tracedFrames.push_back(
        {GST_BUFFER_PTS(buffer), capturedNs, capturedNs + int64_t(meta->duration), encodedNs});
    if (tracedFrames.size() > 16) tracedFrames.pop_front();
}

// The payloader gives each frame its RTP timestamp: the key that joins sender and receiver.
void RTCRtpSender::Impl::tracePayloaded(GstElement* payloader) {
    GstPad* pad = gst_element_get_static_pad(payloader, "src");
    gst_pad_add_probe(
        pad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto self = lockWeak<Impl>(data);
            if (!self) return GST_PAD_PROBE_OK;
            GstBuffer* buffer = GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER
                                    ? GST_PAD_PROBE_INFO_BUFFER(info)
                                    : gst_buffer_list_get(GST_PAD_PROBE_INFO_BUFFER_LIST(info), 0);
            GstRTPBuffer rtp = GST_RTP_BUFFER_INIT;
            if (!buffer || !gst_rtp_buffer_map(buffer, GST_MAP_READ, &rtp)) return GST_PAD_PROBE_OK;
            uint32_t timestamp = gst_rtp_buffer_get_timestamp(&rtp);
            gst_rtp_buffer_unmap(&rtp);
            std::lock_guard lock(self->traceMutex);
            auto& frames = self->tracedFrames;
            for (auto it = frames.begin(); it != frames.end(); ++it) {
                if (it->pts != GST_BUFFER_PTS(buffer)) continue;
                MediaTrace::shared()->frame(timestamp, it->capturedNs, it->encoderInNs, it->encodedNs);
                frames.erase(frames.begin(), it + 1);
                break;
            }
            return GST_PAD_PROBE_OK;
        },
        new std::weak_ptr<Impl>(weak_from_this()),
        [](gpointer data) { delete static_cast<std::weak_ptr<Impl>*>(data); });
    gst_object_unref(pad);
}

RTCRateController::Limits RTCRtpSender::Impl::limits() const {
    const auto& encoding = current.encodings.front();
    int64_t floor = encoding.minBitrateBps.value_or(0);
    return {floor, std::max(encoding.maxBitrateBps.value_or(kDefaultBitrateBps), floor), framerate()};
}

int64_t RTCRtpSender::Impl::bitrateBps() const {
    return rate.target().bitrateBps;
}

// A receiver that lost a picture asks for a key frame; under loss it asks often, and every key
// frame is a burst that costs the link more. One goes out per spacing; a request inside it is
// kept and served when the spacing has passed.
bool RTCRtpSender::Impl::admitKeyFrameRequest() {
    std::lock_guard lock(mutex);
    int64_t now = monotonicNs();
    if (now - lastKeyFrameRequestNs < RTCKeyFrameRecovery::kKeyFrameSpacingNs) {
        keyFrameOwed = true;
        return false;
    }
    lastKeyFrameRequestNs = now;
    keyFrameOwed = false;
    return true;
}

int RTCRtpSender::Impl::framerate() const {
    auto rate = current.encodings.front().maxFramerate;
    return rate && *rate >= 1 ? static_cast<int>(std::lround(*rate)) : kDefaultFramerate;
}

void RTCRtpSender::Impl::applyBitrate() {
    if (encoder)
        g_object_set(encoder, "bitrate", static_cast<guint>(std::max<int64_t>(bitrateBps() / 1000, 1)),
                     nullptr);
}

RTCRtpParameters RTCRtpSender::Impl::parameters() const {
    std::lock_guard lock(mutex);
    return current;
}

Result<void> RTCRtpSender::Impl::setParameters(const RTCRtpParameters& parameters) {
    if (parameters.encodings.size() != 1) return Error{"the video sender has exactly one encoding"};
    const auto& encoding = parameters.encodings.front();
    if ((encoding.maxBitrateBps && *encoding.maxBitrateBps <= 0) ||
        (encoding.minBitrateBps && *encoding.minBitrateBps < 0) ||
        (encoding.maxFramerate && !(*encoding.maxFramerate > 0)))
        return Error{"encoding parameters out of range"};
    std::lock_guard lock(mutex);
    current = parameters;
    // The first parameters the owner gives are where the rate starts; later ceilings are grown into.
    if (parametersGiven)
        rate.setLimits(limits());
    else
        rate = RTCRateController(limits());
    parametersGiven = true;
    applyBitrate();
    return {};
}

RTCEncoderCounters RTCRtpSender::Impl::counters() {
    RTCEncoderCounters counters;
    counters.framesEncoded = framesEncoded;
    counters.framesPerSecond = encodedRate.rate(monotonicNs());
    std::lock_guard lock(mutex);
    counters.frameWidth = capsWidth;
    counters.frameHeight = capsHeight;
    counters.targetBitrate = bitrateBps();
    auto target = rate.target();
    counters.limitedByBandwidth = target.bitrateBps < limits().maxBps || target.fps < framerate();
    return counters;
}

RTCRtpSender::RTCRtpSender(std::shared_ptr<Impl> impl) : impl(std::move(impl)) {}

RTCRtpSender::~RTCRtpSender() = default;

RTCRtpParameters RTCRtpSender::parameters() const {
    return impl->parameters();
}

Result<void> RTCRtpSender::setParameters(const RTCRtpParameters& parameters) {
    return impl->setParameters(parameters);
}

} // namespace quorlinth
