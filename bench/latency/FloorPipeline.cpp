#include "FloorPipeline.h"

#include "ProcessUsage.h"
#include "rtc/RTCVideoSource.h"

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <libyuv/convert_argb.h>

namespace quorlinth::latency {

namespace {

// The sender's and receiver's element settings (src/rtc RTCRtpSender, RTCPeerConnection), minus
// RTP packetising: what the encoder and decoder cost on their own.
std::string pipelineDescription(int64_t bitrateBps) {
    // The only difference: pictures carry their capture instant as presentation time, so each
    // stage can be timed per picture.
    return "appsrc name=source is-live=true format=time max-buffers=2 leaky-type=downstream"
           " ! x264enc name=encoder tune=zerolatency speed-preset=ultrafast bitrate=" +
           std::to_string(bitrateBps / 1000) +
           " key-int-max=300 bframes=0 rc-lookahead=0 sliced-threads=true vbv-buf-capacity=120"
           " ! video/x-h264,profile=constrained-baseline,stream-format=byte-stream"
           " ! avdec_h264 ! videoconvert ! video/x-raw,format=I420"
           " ! appsink name=sink sync=false max-buffers=2";
}

// x264enc moves presentation times 1000 hours ahead (room for negative decoding times).
GstClockTime capturePresentation(GstClockTime presentation) {
    constexpr GstClockTime kEncoderOffset = GstClockTime(1000) * 3600 * GST_SECOND;
    return presentation >= kEncoderOffset ? presentation - kEncoderOffset : presentation;
}

} // namespace

Result<std::unique_ptr<FloorPipeline>> FloorPipeline::start(const std::string& display,
                                                            MacStreamProfile profile, bool paced,
                                                            LatencyRecorder& recorder) {
    gst_init(nullptr, nullptr);
    std::unique_ptr<FloorPipeline> floor(new FloorPipeline(profile, paced, recorder));
    floor->displays = RandRDisplayServices::open(display);
    if (!floor->displays) return Error{"cannot open the display " + display};
    floor->capture = std::make_unique<XShmScreenCapture>(*floor->displays);
    DisplayID main = floor->displays->mainDisplay();
    auto shareable = floor->capture->shareableDisplays();
    if (!shareable || shareable.value().empty()) return Error{"no display to capture"};
    const ShareableDisplay& screen = shareable.value().front();
    PixelSize output = outputSize(int(screen.width), int(screen.height), profile.quality);
    if (auto built = floor->buildPipeline(output); !built) return Error{built.error()};

    StreamConfiguration config;
    config.width = output.width;
    config.height = output.height;
    FloorPipeline* self = floor.get();
    auto stream = floor->capture->startStream(
        main, config, floor->queue, [self](CaptureSample sample) { self->captured(sample); },
        [](std::string) {});
    if (!stream) return Error{"capture: " + stream.error()};
    floor->stream = stream.value();
    if (paced) {
        // The share host's frame pulse: every 33 ms, skipping when under the profile's interval.
        floor->queue.post([self] {
            self->pulseTimer = self->queue.every(Millis(0), Millis(33), [self] { self->pulse(); });
        });
    }
    return floor;
}

Result<void> FloorPipeline::buildPipeline(PixelSize size) {
    output = size;
    GError* error = nullptr;
    pipeline = gst_parse_launch(pipelineDescription(profile.maxBitrate).c_str(), &error);
    if (!pipeline) {
        std::string text = error ? error->message : "unknown";
        if (error) g_error_free(error);
        return Error{"pipeline: " + text};
    }
    source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT,
                                        output.width, "height", G_TYPE_INT, output.height, "framerate",
                                        GST_TYPE_FRACTION, int(profile.fps), 1, nullptr);
    gst_app_src_set_caps(GST_APP_SRC(source), caps);
    gst_caps_unref(caps);

    GstElement* encoder = gst_bin_get_by_name(GST_BIN(pipeline), "encoder");
    GstPad* encoded = gst_element_get_static_pad(encoder, "src");
    gst_pad_add_probe(
        encoded, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            static_cast<FloorPipeline*>(data)->encoded(GST_PAD_PROBE_INFO_BUFFER(info));
            return GST_PAD_PROBE_OK;
        },
        this, nullptr);
    gst_object_unref(encoded);
    gst_object_unref(encoder);

    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* appsink, gpointer data) {
        GstSample* sample = gst_app_sink_pull_sample(appsink);
        if (!sample) return GST_FLOW_EOS;
        static_cast<FloorPipeline*>(data)->decoded(sample);
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    gst_object_unref(sink);
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return Error{"the pipeline did not start"};
    return {};
}

void FloorPipeline::captured(const CaptureSample& sample) {
    if (stopped || sample.status != FrameStatus::complete || !sample.image) return;
    noteCaptureWait(sample);
    if (paced) {
        cached = sample.image;
        cachedAtNs = sample.timestampNs;
        return;
    }
    if (withinFrameRate(sample.timestampNs)) push(sample.image, sample.timestampNs, sample.timestampNs);
}

void FloorPipeline::pulse() {
    int64_t now = bench::monotonicNowNs();
    if (!stopped && cached && withinFrameRate(now)) push(cached, cachedAtNs, now);
}

// The sender's frame-rate cap, paced as the engine paces it.
bool FloorPipeline::withinFrameRate(int64_t timestampNs) {
    return pacer.admit(timestampNs, profile.fps);
}

void FloorPipeline::noteCaptureWait(const CaptureSample& sample) {
    const PixelBuffer& image = *sample.image;
    auto reading = ClockPattern::decode(image.data, image.width, image.height, image.stride);
    if (!reading) return;
    if (!lastDrawnMs || wrappedDifferenceMs(*lastDrawnMs, reading->drawnMs) > 0) {
        int64_t capturedUnixNs = bench::unixFromMonotonicNs(sample.timestampNs);
        double wait = double(wrappedDifferenceMs(reading->drawnMs, uint64_t(capturedUnixNs / 1'000'000))) +
                      double(capturedUnixNs % 1'000'000) / 1e6;
        std::lock_guard lock(stageMutex);
        measured.captureWait.push_back(wait);
    }
    lastDrawnMs = reading->drawnMs;
}

void FloorPipeline::push(const SharedPixels& image, int64_t capturedNs, int64_t presentationNs) {
    SharedPixels pixels = scaler.scale(image, output.width, output.height);
    if (!pixels) return;
    auto frame = RTCVideoSource::convert(pixels->data, pixels->width, pixels->height, pixels->stride,
                                         {output.width, output.height});
    if (!frame) return;
    auto* planes = new std::vector<uint8_t>(std::move(frame->planes));
    GstBuffer* buffer = gst_buffer_new_wrapped_full(
        GST_MEMORY_FLAG_READONLY, planes->data(), planes->size(), 0, planes->size(), planes,
        [](gpointer data) { delete static_cast<std::vector<uint8_t>*>(data); });
    if (!startNs) startNs = presentationNs;
    GstClockTime presentation = GstClockTime(presentationNs - startNs);
    GST_BUFFER_PTS(buffer) = presentation;
    {
        std::lock_guard lock(stageMutex);
        inFlight[presentation] = {capturedNs, bench::monotonicNowNs(), 0};
        // Pictures the leaky source dropped never come back.
        while (inFlight.size() > 16)
            inFlight.erase(inFlight.begin());
    }
    gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
}

void FloorPipeline::encoded(GstBuffer* buffer) {
    encodedBytes += gst_buffer_get_size(buffer);
    std::lock_guard lock(stageMutex);
    auto found = inFlight.find(capturePresentation(GST_BUFFER_PTS(buffer)));
    if (found != inFlight.end()) found->second.encodedNs = bench::monotonicNowNs();
}

void FloorPipeline::resetCounters() {
    encodedBytes = 0;
    std::lock_guard lock(stageMutex);
    measured = {};
}

FloorPipeline::Stages FloorPipeline::stages() const {
    std::lock_guard lock(stageMutex);
    return measured;
}

void FloorPipeline::decoded(GstSample* sample) {
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) return;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) return;
    int width = GST_VIDEO_INFO_WIDTH(&info), height = GST_VIDEO_INFO_HEIGHT(&info);
    // The receiver's own conversion to BGRA, so the floor pays for it too.
    std::vector<uint8_t> bgra(size_t(width) * height * 4);
    libyuv::I420ToARGB(static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)),
                       GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0),
                       static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 1)),
                       GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 1),
                       static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 2)),
                       GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 2), bgra.data(), width * 4, width, height);
    gst_video_frame_unmap(&frame);
    // Stamped where the receiver stamps its pictures: after the conversion.
    int64_t now = bench::monotonicNowNs();
    recorder.picture(bench::unixFromMonotonicNs(now), bgra.data(), width, height, width * 4);
    std::lock_guard lock(stageMutex);
    auto found = inFlight.find(capturePresentation(GST_BUFFER_PTS(gst_sample_get_buffer(sample))));
    if (found == inFlight.end() || !found->second.encodedNs) return;
    const InFlight& times = found->second;
    measured.conversion.push_back(double(times.pushedNs - times.capturedNs) / 1e6);
    measured.encode.push_back(double(times.encodedNs - times.pushedNs) / 1e6);
    measured.decode.push_back(double(now - times.encodedNs) / 1e6);
    inFlight.erase(found);
}

void FloorPipeline::stop() {
    if (!pipeline) return;
    if (stream) stream->stop();
    std::atomic<bool> drained{false};
    queue.post([this, &drained] {
        stopped = true;
        pulseTimer.cancel();
        drained = true;
    });
    while (!drained)
        g_usleep(1000);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(source);
    gst_object_unref(pipeline);
    pipeline = source = nullptr;
}

FloorPipeline::~FloorPipeline() {
    stop();
}

} // namespace quorlinth::latency
