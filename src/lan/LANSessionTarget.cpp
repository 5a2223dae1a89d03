#include "lan/LANSessionTarget.h"

#include "host/MacShareHost.h"

namespace quorlinth {

namespace {

class ShareHostTarget : public LANSessionTarget {
public:
    explicit ShareHostTarget(std::weak_ptr<MacShareHost> host) : host(std::move(host)) {}

    std::optional<std::string> attachLocal(const std::string& controllerID,
                                           std::function<void(Json)> send) override {
        auto live = host.lock();
        if (!live) return std::nullopt;
        return live->attachLocal(controllerID, std::move(send));
    }
    void receiveLocal(Json message) override {
        if (auto live = host.lock()) live->receiveLocal(std::move(message));
    }

private:
    std::weak_ptr<MacShareHost> host;
};

} // namespace

std::shared_ptr<LANSessionTarget> shareHostTarget(std::weak_ptr<MacShareHost> host) {
    return std::make_shared<ShareHostTarget>(std::move(host));
}

} // namespace quorlinth
