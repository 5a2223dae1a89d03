#pragma once

#include "HostUnderTest.h"
#include "ScriptedController.h"
#include "ServiceFixture.h"
#include "SignalTap.h"
#include "base/MainQueue.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace quorlinth::testing {

// One account with two devices on the real service: a share host (the `quorlinth-cli share`
// process, or MacShareHost in this process where timings are injected) whose traffic passes a
// SignalTap, and a scripted controller (engine peer plus a raw signaling socket, talking to the
// service directly).
class ShareHostTest : public ServiceTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Override to start the service with other options (an ICE configuration).
    virtual ServiceProcess::Options serviceOptions() { return {}; }

    // Each waits until the host is signaling and its heartbeat made it ready for sessions.
    void startCliHost(bool relay = false);
    void startInProcessHost(MacShareHost::Timings timings = quietHeartbeat(),
                            RTCIceTransportPolicy policy = RTCIceTransportPolicy::all);
    // Default timings but no heartbeat timer: only "ready" makes the host post one.
    static MacShareHost::Timings quietHeartbeat();

    // The controller's engine peer and signaling socket ("ready" received).
    void startController(ScriptedController::Options options = {});
    // POST /v1/sessions for the host device; the session id.
    std::string createSession();
    // createSession, the host's request accepted, "accepted" received by the controller.
    void openAcceptedSession();
    // Offer to the host; from then on the controller trickles its candidates.
    void sendOfferAndFollow();
    // openAcceptedSession and sendOfferAndFollow, until frames decode.
    void negotiateUntilFrames(uint64_t frames = 30);

    // Runs the main queue until `condition` holds (checked at least every 20 ms).
    bool waitFor(const std::function<bool()>& condition, Millis timeout = Millis(20'000));
    // Runs every main-queue task posted so far.
    void settleMainQueue();

    // Controller signaling: takes what has arrived and answers the way a controller does
    // (applies "answer" and "ice" of its session, trickles its own candidates after the offer).
    void pumpController();
    void sendFromController(const Json& message);
    std::vector<Json> controllerReceived(const std::string& type);

    // Lines of the host (log, requests, status); see HostUnderTest.
    int hostCount(const std::string& text) { return host->count(text); }
    bool hostLogged(const std::string& text) { return hostCount(text) > 0; }
    // Every host line, for failure messages.
    std::string hostTranscript();
    // The host's "画质档位" line for the controller's offer and `route` (quality sharp).
    std::string encodingLine(std::optional<RTCMediaRoute> route);
    std::vector<SignalTap::HttpRequest> heartbeats();
    // Every message of `type` the host sent (through the tap).
    std::vector<Json> hostSent(const std::string& type);
    // Returns once every message injected towards the host so far has been handled and the
    // callbacks it caused have run: an injected "ready" makes the host post a heartbeat, and
    // the host handles its messages in order.
    void barrierAfterInjected();

    RunLoop loop;
    Timer poke;
    std::string accountToken;
    BoundDevice hostDevice, controllerDevice;
    std::unique_ptr<SignalTap> tap;
    std::unique_ptr<HostUnderTest> host;
    InProcessHost* inProcess = nullptr; // set when `host` is one

    std::shared_ptr<ScriptedController> controller;
    std::unique_ptr<SignalClient> controllerSignal;
    std::vector<Json> controllerInbox;
    std::string sessionID;
    size_t candidatesSent = 0;
    bool offerSent = false;

private:
    void waitUntilServing();
};

} // namespace quorlinth::testing
