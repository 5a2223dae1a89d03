#include "VncReader.h"

#include "ProcessUsage.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <rfb/rfbclient.h>

namespace quorlinth::latency {

namespace {

constexpr int64_t kPressPeriodNs = 1'000'000'000;
constexpr int64_t kPressHoldNs = 60'000'000;
constexpr double kPressX = 0.75, kPressY = 0.75;

LatencyRecorder* activeRecorder = nullptr;
int64_t firstReadNs = 0;

void finishedUpdate(rfbClient* client) {
    int64_t at = bench::unixNowNs();
    if (!client->frameBuffer) return;
    activeRecorder->picture(at, client->frameBuffer, client->width, client->height, client->width * 4);
    if (!firstReadNs &&
        ClockPattern::decode(client->frameBuffer, client->width, client->height, client->width * 4))
        firstReadNs = bench::monotonicNowNs();
}

void quietLog(const char*, ...) {}

} // namespace

Result<VncReader::Figures> VncReader::run(int port, double warmupSeconds, double seconds,
                                          LatencyRecorder& recorder,
                                          const std::function<void(bool)>& onWindow) {
    activeRecorder = &recorder;
    firstReadNs = 0;
    rfbClientLog = quietLog;
    // 8 bits per sample, 3 samples, 4 bytes per pixel: R, G, B, X in memory.
    rfbClient* client = rfbGetClient(8, 3, 4);
    client->serverHost = strdup("127.0.0.1");
    client->serverPort = port;
    client->FinishedFrameBufferUpdate = finishedUpdate;
    int64_t connectNs = bench::monotonicNowNs();
    if (!rfbInitClient(client, nullptr, nullptr))
        return Error{"cannot connect to the VNC server"}; // frees client

    Figures figures;
    int64_t windowStart = connectNs + int64_t(warmupSeconds * 1e9);
    int64_t windowEnd = windowStart + int64_t(seconds * 1e9);
    int64_t nextPress = windowStart + kPressPeriodNs / 2, releaseAt = 0;
    bool recording = false;
    for (int64_t now = bench::monotonicNowNs(); now < windowEnd; now = bench::monotonicNowNs()) {
        if (!recording && now >= windowStart) {
            recording = true;
            onWindow(true);
        }
        int x = int(client->width * kPressX), y = int(client->height * kPressY);
        if (recording && now >= nextPress) {
            if (recorder.pressSent(bench::unixNowNs())) SendPointerEvent(client, x, y, rfbButton1Mask);
            releaseAt = now + kPressHoldNs;
            nextPress += kPressPeriodNs;
        }
        if (releaseAt && now >= releaseAt) {
            SendPointerEvent(client, x, y, 0);
            releaseAt = 0;
        }
        int ready = WaitForMessage(client, 2000);
        if (ready < 0) {
            rfbClientCleanup(client);
            return Error{"the VNC connection failed"};
        }
        if (ready > 0 && !HandleRFBServerMessage(client)) {
            rfbClientCleanup(client);
            return Error{"the VNC server closed the connection"};
        }
    }
    onWindow(false);
    if (firstReadNs) figures.firstUpdateMs = double(firstReadNs - connectNs) / 1e6;
    rfbClientCleanup(client);
    activeRecorder = nullptr;
    return figures;
}

} // namespace quorlinth::latency
