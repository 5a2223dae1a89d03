#include "CloudViewer.h"

#include "ProcessUsage.h"
#include "account/MacAccount.h"
#include "account/MacServiceConfig.h"
#include "base/MainQueue.h"
#include "controller/CloudRTCClient.h"
#include "controller/ConnectionDiagnostics.h"
#include "store/KeyStore.h"
#include "store/Paths.h"

#include <atomic>
#include <mutex>
#include <regex>
#include <thread>

namespace quorlinth::latency {

namespace {

constexpr Millis kPressPeriod{1000};
constexpr Millis kPressHold{60};
constexpr Millis kPollPeriod{2};
constexpr double kPressX = 0.75, kPressY = 0.75;

Json pointer(int mask) {
    return {{"type", "pointer"}, {"x", kPressX}, {"y", kPressY}, {"mask", mask}};
}

// The inbound rates of the link lines ("收 N包 Kkbps") while recording; their mean is the rate
// over the window, as the lines are evenly spaced.
class RateLines {
public:
    void line(const std::string& text) {
        static const std::regex rate("收 [0-9]+包 ([0-9]+)kbps");
        std::smatch match;
        if (!std::regex_search(text, match, rate)) return;
        std::lock_guard lock(mutex);
        if (recording) rates.push_back(std::stod(match[1].str()));
    }
    void setRecording(bool on) {
        std::lock_guard lock(mutex);
        recording = on;
    }
    double meanKbps() const {
        std::lock_guard lock(mutex);
        double sum = 0;
        for (double value : rates)
            sum += value;
        return rates.empty() ? 0 : sum / double(rates.size());
    }

private:
    mutable std::mutex mutex;
    bool recording = false;
    std::vector<double> rates;
};

Result<CloudAccess> signIn(RunLoop& loop, const std::string& serviceBase) {
    MacServiceConfig service = MacServiceConfig::single(serviceBase);
    auto keys = std::make_shared<FileKeyStore>(appDataDir() / "keys" / "keys.json");
    auto account = MacAccount::create(keys, MacAccount::Options{service, {}, {}}, loop);
    std::optional<Result<CloudAccess>> outcome;
    account->validCredentials([&](MacResult<MacCredentials> valid) {
        if (!valid) {
            outcome = Error{valid.failure().localizedDescription()};
            return;
        }
        const MacCredentials& credentials = valid.value();
        outcome = CloudAccess{service.mapBase(credentials.base), credentials.accountToken,
                              credentials.deviceID, credentials.deviceToken};
    });
    if (!loop.runUntil([&] { return outcome.has_value(); }, Millis(15'000)))
        return Error{"sign-in timed out"};
    return *outcome;
}

} // namespace

Result<CloudViewer::Figures> CloudViewer::run(const std::string& serviceBase, const std::string& deviceID,
                                              Window window, LatencyRecorder& recorder) {
    RunLoop loop;
    installMainQueue(&loop);
    auto access = signIn(loop, serviceBase);
    if (!access) return Error{access.error()};

    auto rates = std::make_shared<RateLines>();
    ConnectionDiagnostics::shared().setSink([rates](const std::string& text) { rates->line(text); });
    CloudRTCClient::Options options;
    options.iceAddresses = {window.iceAddress};
    options.timings.linkTick = Millis(1000);
    auto client = CloudRTCClient::create(access.value(), deviceID, std::nullopt, std::nullopt, options);

    Figures figures;
    std::optional<std::string> failure;
    std::optional<int64_t> acceptedNs;
    client->onStatus = [&](std::string text) {
        if (!acceptedNs && text.rfind("已授权", 0) == 0) acceptedNs = bench::monotonicNowNs();
    };
    // Tear-down reports "no route"; the figure is the route the media took.
    client->onRoute = [&](std::optional<RTCMediaRoute> route) {
        if (route) figures.route = route;
    };
    client->onFailure = [&](std::string text) { failure = text; };

    // Every picture the decoder stores, read on a thread of our own: the store keeps only the
    // newest, and a 2 ms poll never misses one at 30 fps. Each carries its decode instant.
    std::atomic<bool> polling{true};
    std::atomic<int64_t> firstDecodedNs{0};
    std::thread poller([&] {
        uint64_t seen = 0;
        while (polling) {
            auto [frame, version] = client->frames.read();
            if (version != seen && frame && frame->bgra) {
                seen = version;
                int64_t expected = 0;
                firstDecodedNs.compare_exchange_strong(expected, frame->timestampNs);
                recorder.picture(bench::unixFromMonotonicNs(frame->timestampNs), frame->bgra->data(),
                                 frame->width, frame->height, frame->stride);
            }
            std::this_thread::sleep_for(kPollPeriod);
        }
    });
    auto finish = [&] {
        polling = false;
        poller.join();
        client->stop();
        loop.runFor(Millis(300));
        ConnectionDiagnostics::shared().setSink(nullptr);
    };

    client->start();
    if (!loop.runUntil([&] { return failure || firstDecodedNs.load(); }, Millis(30'000)) || failure) {
        finish();
        return Error{failure.value_or("no picture within 30 s")};
    }
    if (acceptedNs) figures.acceptToFirstFrameMs = double(firstDecodedNs.load() - *acceptedNs) / 1e6;
    loop.runFor(Millis(int64_t(window.warmupSeconds * 1000)));

    window.onWindow(true);
    rates->setRecording(true);
    recorder.setRecording(true);
    Timer presses = mainQueue().every(kPressPeriod / 2, kPressPeriod, [&] {
        if (!recorder.pressSent(bench::unixNowNs())) return;
        client->sendControl(pointer(1));
        mainQueue().postAfter(kPressHold, [client] { client->sendControl(pointer(0)); });
    });
    loop.runUntil([&] { return failure.has_value(); }, Millis(int64_t(window.seconds * 1000)));
    presses.cancel();
    recorder.setRecording(false);
    rates->setRecording(false);
    window.onWindow(false);
    figures.receivedKbps = rates->meanKbps();
    finish();
    if (failure) return Error{*failure};
    return figures;
}

} // namespace quorlinth::latency
