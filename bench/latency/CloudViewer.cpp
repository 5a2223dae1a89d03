#include "CloudViewer.h"

#include "PaintedView.h"
#include "ProcessUsage.h"
#include "account/MacAccount.h"
#include "account/MacServiceConfig.h"
#include "base/MainQueue.h"
#include "controller/CloudRTCClient.h"
#include "controller/ConnectionDiagnostics.h"
#include "store/KeyStore.h"
#include "store/Paths.h"

#include <QCoreApplication>
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

// Where the viewer takes the pictures it reads the clock from.
class PictureReader {
public:
    virtual ~PictureReader() = default;
    // Monotonic instant of the first picture; 0 before it.
    virtual int64_t firstPictureNs() const = 0;
    virtual void setRecording(bool) {}
    virtual void addFigures(CloudViewer::Figures&) const {}
};

// Every picture the decoder stores, read on a thread of our own: the store keeps only the
// newest, and a 2 ms poll never misses one at 30 fps. Each carries its decode instant.
class DecodedReader : public PictureReader {
public:
    DecodedReader(CloudRTCClient& client, LatencyRecorder& recorder)
        : poller([this, &client, &recorder] { poll(client, recorder); }) {}
    ~DecodedReader() override {
        polling = false;
        poller.join();
    }
    int64_t firstPictureNs() const override { return firstDecodedNs; }

private:
    void poll(CloudRTCClient& client, LatencyRecorder& recorder) {
        uint64_t seen = 0;
        while (polling) {
            auto [frame, version] = client.frames.read();
            if (version != seen && frame && frame->bgra) {
                seen = version;
                int64_t expected = 0;
                firstDecodedNs.compare_exchange_strong(expected, frame->timestampNs);
                recorder.picture(bench::unixFromMonotonicNs(frame->timestampNs), frame->bgra->data(),
                                 frame->width, frame->height, frame->stride);
            }
            std::this_thread::sleep_for(kPollPeriod);
        }
    }

    std::atomic<bool> polling{true};
    std::atomic<int64_t> firstDecodedNs{0};
    std::thread poller; // last: it starts polling at construction
};

// The application's remote view at the picture's own size, painting at its refresh tick. Qt's
// events are pumped from this run loop every millisecond, as the application's main queue
// would serve them.
class PaintingReader : public PictureReader {
public:
    PaintingReader(CloudRTCClient& client, LatencyRecorder& recorder) : view(recorder) {
        view.resize(1920, 1080);
        view.setFrames(std::shared_ptr<const VideoFrameStore>(client.shared_from_this(), &client.frames));
        view.show();
        pump = mainQueue().every(Millis(1), Millis(1), [] { QCoreApplication::processEvents(); });
    }
    int64_t firstPictureNs() const override { return view.firstPaintedNs(); }
    void setRecording(bool on) override {
        view.setRecording(on);
        double cpu = bench::threadCpuSeconds();
        if (on)
            cpuAtStart = cpu;
        else
            cpuSeconds = cpu - cpuAtStart;
    }
    void addFigures(CloudViewer::Figures& figures) const override {
        figures.paintDelaysMs = view.paintDelaysMs();
        uint64_t painted = view.paintedWhileRecording();
        figures.uiThreadCpuMsPerPicture = painted ? cpuSeconds * 1000 / double(painted) : 0;
    }

private:
    PaintedView view;
    Timer pump;
    double cpuAtStart = 0, cpuSeconds = 0;
};

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

    std::unique_ptr<PictureReader> reader;
    if (window.paint)
        reader = std::make_unique<PaintingReader>(*client, recorder);
    else
        reader = std::make_unique<DecodedReader>(*client, recorder);
    auto finish = [&] {
        reader.reset();
        client->stop();
        loop.runFor(Millis(300));
        ConnectionDiagnostics::shared().setSink(nullptr);
    };

    client->start();
    if (!loop.runUntil([&] { return failure || reader->firstPictureNs(); }, Millis(30'000)) || failure) {
        finish();
        return Error{failure.value_or("no picture within 30 s")};
    }
    if (acceptedNs) figures.acceptToFirstFrameMs = double(reader->firstPictureNs() - *acceptedNs) / 1e6;
    loop.runFor(Millis(int64_t(window.warmupSeconds * 1000)));

    window.onWindow(true);
    rates->setRecording(true);
    recorder.setRecording(true);
    reader->setRecording(true);
    Timer presses = mainQueue().every(kPressPeriod / 2, kPressPeriod, [&] {
        if (!recorder.pressSent(bench::unixNowNs())) return;
        client->sendControl(pointer(1));
        mainQueue().postAfter(kPressHold, [client] { client->sendControl(pointer(0)); });
    });
    loop.runUntil([&] { return failure.has_value(); }, Millis(int64_t(window.seconds * 1000)));
    presses.cancel();
    reader->setRecording(false);
    recorder.setRecording(false);
    rates->setRecording(false);
    window.onWindow(false);
    figures.receivedKbps = rates->meanKbps();
    reader->addFigures(figures);
    finish();
    if (failure) return Error{*failure};
    return figures;
}

} // namespace quorlinth::latency
