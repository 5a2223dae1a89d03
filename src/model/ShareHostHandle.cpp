#include "model/ShareHostHandle.h"

namespace quorlinth {

namespace {

class ServiceShareHost : public ShareHostHandle {
public:
    explicit ServiceShareHost(std::shared_ptr<MacShareHost> host) : host(std::move(host)) {}
    void start() override { host->start(); }
    void stop() override { host->stop(); }
    void cachePixels(SharedPixels pixels) override { host->cachePixels(std::move(pixels)); }
    std::shared_ptr<LANSessionTarget> lanTarget() override { return shareHostTarget(host); }
    std::optional<RTCMediaRoute> route() const override { return host->currentRoute(); }

private:
    std::shared_ptr<MacShareHost> host;
};

} // namespace

ShareHostFactory serviceShareHosts(MacServiceConfig service, MacShareHost::Options options) {
    return [service, options](const MacCredentials& credentials, MacShareQuality quality,
                              ShareHostCallbacks callbacks) {
        MacShareHost::Options hostOptions = options;
        hostOptions.credentials = credentials;
        hostOptions.base = service.mapBase(credentials.base);
        hostOptions.caFile = service.caFile;
        hostOptions.quality = quality;
        auto host = MacShareHost::create(hostOptions);
        host->onRequest = std::move(callbacks.onRequest);
        host->onConnect = std::move(callbacks.onConnect);
        host->onDisconnect = std::move(callbacks.onDisconnect);
        host->onInput = std::move(callbacks.onInput);
        host->inputReady = std::move(callbacks.inputReady);
        host->onTransferChannel = std::move(callbacks.onTransferChannel);
        host->onFrameRate = std::move(callbacks.onFrameRate);
        return std::make_shared<ServiceShareHost>(std::move(host));
    };
}

} // namespace quorlinth
