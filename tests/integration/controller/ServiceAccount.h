#pragma once

#include "ScriptedHost.h"
#include "ServiceHarness.h"
#include "controller/CloudRTCClient.h"

#include <chrono>
#include <memory>
#include <string>

namespace quorlinth::testing {

// A fresh real quorlinth-service with one signed-in account and the calls a test needs to
// put its devices into a given state, made directly against the service.
class ServiceAccount {
public:
    using Device = BoundDevice;

    ServiceAccount();
    // False when the service or the account could not be set up (the log says why).
    bool ready() const { return !accountToken.empty(); }
    std::string serviceLog() const { return service ? service->logText() : ""; }

    Device bind(const std::string& name);
    // A heartbeat saying whether capture and WebRTC are ready.
    bool heartbeat(const Device& device, bool mediaReady);
    // A device code for a temporary password (lower-case hex), or "".
    std::string issuePairing(const Device& device, const std::string& password);
    HttpReply createSession(const Device& controller, const std::string& target);
    HttpReply createGuestSession(const Device& controller, const std::string& code,
                                 const std::string& password);
    std::unique_ptr<ScriptedHost> connectSignal(const Device& device);
    // Waits until the service lists the device as offline; false after `wait`.
    bool waitUntilOffline(const Device& device, std::chrono::milliseconds wait = std::chrono::seconds(10));
    uint16_t port() const { return service->port(); }
    CloudAccess accessFor(const Device& controller) const;

private:
    TempDir dir;
    std::unique_ptr<ServiceProcess> service;
    std::unique_ptr<HttpClient> http;
    std::string accountToken;
    int installations = 0;
};

} // namespace quorlinth::testing
