#include "ShareHostFixture.h"

#include <cstdio>

namespace quorlinth::testing {

void ShareHostTest::SetUp() {
    installMainQueue(&loop);
    // Conditions that other threads make true are re-checked at least this often.
    poke = loop.every(Millis(20), Millis(20), [] {});
    startService(serviceOptions());
    if (HasFatalFailure()) return;
    accountToken = signIn();
    controllerDevice = bind(accountToken, "sharehost-controller", "客厅的 Mac");
    tap = std::make_unique<SignalTap>(service->port());
}

void ShareHostTest::TearDown() {
    host.reset();
    if (controller) controller->close();
    controller.reset();
    controllerSignal.reset();
    tap.reset();
    poke.cancel();
}

MacShareHost::Timings ShareHostTest::quietHeartbeat() {
    MacShareHost::Timings timings;
    timings.heartbeat = Millis(600'000);
    return timings;
}

void ShareHostTest::startCliHost(bool relay) {
    auto cli = std::make_unique<CliHost>(
        CliHost::Options{tap->baseUrl(), kUser, kPassword, dir.path() / "cli", relay});
    ASSERT_FALSE(cli->deviceID().empty()) << cli->startFailure();
    hostDevice = {cli->deviceID(), ""};
    host = std::move(cli);
    ASSERT_NO_FATAL_FAILURE(waitUntilServing());
}

void ShareHostTest::startInProcessHost(MacShareHost::Timings timings, RTCIceTransportPolicy policy) {
    hostDevice = bind(accountToken, "sharehost-host", "书房的 Mac");
    MacShareHost::Options options;
    options.credentials = {tap->baseUrl(), kUser, accountToken, 0, hostDevice.id, hostDevice.token};
    options.iceAddresses = {"127.0.0.1"};
    options.iceTransportPolicy = policy;
    options.timings = timings;
    auto created = std::make_unique<InProcessHost>(options, loop);
    inProcess = created.get();
    host = std::move(created);
    ASSERT_NO_FATAL_FAILURE(waitUntilServing());
}

void ShareHostTest::waitUntilServing() {
    ASSERT_TRUE(waitFor([&] { return hostLogged("信令已连接"); })) << service->logText();
    // The service hands out sessions once the heartbeat reported capture and WebRTC ready.
    ASSERT_TRUE(waitFor([&] {
        Json device = deviceInList(accountToken, hostDevice.id);
        const Json* capabilities = field::object(device, "capabilities");
        return capabilities && field::boolean(*capabilities, "capture_ready", false);
    }));
}

void ShareHostTest::startController(ScriptedController::Options options) {
    auto created = ScriptedController::create(std::move(options));
    ASSERT_TRUE(created) << created.error();
    controller = created.value();
    controllerSignal = SignalClient::connect(service->port(), controllerDevice.token, controllerDevice.id);
    ASSERT_TRUE(controllerSignal);
    ASSERT_TRUE(waitFor([&] { return !controllerReceived("ready").empty(); }));
}

std::string ShareHostTest::createSession() {
    HttpReply reply =
        client->request("POST", "/v1/sessions", accountToken,
                        Json{{"device_id", hostDevice.id}, {"controller_id", controllerDevice.id}});
    EXPECT_EQ(200, reply.status) << reply.body;
    return field::string(reply.json(), "session_id", "");
}

void ShareHostTest::openAcceptedSession() {
    int asked = hostCount("请求 ");
    size_t accepted = controllerReceived("accepted").size();
    sessionID = createSession();
    ASSERT_FALSE(sessionID.empty());
    ASSERT_TRUE(waitFor([&] { return hostCount("请求 ") > asked; }));
    host->decide(true);
    ASSERT_TRUE(waitFor([&] { return controllerReceived("accepted").size() > accepted; }));
}

void ShareHostTest::sendOfferAndFollow() {
    controller->makeOffer();
    ASSERT_TRUE(waitFor([&] { return controller->offerSdp() || controller->failure(); }));
    ASSERT_FALSE(controller->failure()) << *controller->failure();
    sendFromController(makeSdpSignal("offer", sessionID, *controller->offerSdp()));
    offerSent = true;
}

void ShareHostTest::negotiateUntilFrames(uint64_t frames) {
    ASSERT_NO_FATAL_FAILURE(openAcceptedSession());
    ASSERT_NO_FATAL_FAILURE(sendOfferAndFollow());
    ASSERT_TRUE(waitFor([&] { return controller->framesDecoded() >= frames || controller->failure(); },
                        Millis(30'000)))
        << "frames " << controller->framesDecoded();
    ASSERT_FALSE(controller->failure()) << *controller->failure();
}

bool ShareHostTest::waitFor(const std::function<bool()>& condition, Millis timeout) {
    return loop.runUntil(
        [&] {
            pumpController();
            return condition();
        },
        timeout);
}

void ShareHostTest::settleMainQueue() {
    bool reached = false;
    loop.post([&] { reached = true; });
    loop.runUntil([&] { return reached; }, Millis(5'000));
}

void ShareHostTest::pumpController() {
    if (!controllerSignal) return;
    while (auto message = controllerSignal->receive(Millis(0))) {
        controllerInbox.push_back(*message);
        if (signalSessionID(*message) != sessionID) continue;
        std::string type = signalType(*message);
        if (type == "answer") {
            if (auto sdp = field::string(*message, "sdp")) controller->applyAnswer(*sdp);
        } else if (type == "ice") {
            if (auto candidate = parseIceCandidate(*message)) controller->addRemoteCandidate(*candidate);
        }
    }
    if (!offerSent) return;
    auto local = controller->localCandidates();
    for (; candidatesSent < local.size(); ++candidatesSent)
        sendFromController(makeIceSignal(sessionID, local[candidatesSent]));
}

void ShareHostTest::sendFromController(const Json& message) {
    controllerSignal->send(message);
}

std::vector<Json> ShareHostTest::controllerReceived(const std::string& type) {
    std::vector<Json> matching;
    for (const auto& message : controllerInbox)
        if (signalType(message) == type) matching.push_back(message);
    return matching;
}

std::string ShareHostTest::hostTranscript() {
    std::string text = "host lines:\n";
    for (const auto& line : host->lines())
        text += "  " + line + "\n";
    return text;
}

std::string ShareHostTest::encodingLine(std::optional<RTCMediaRoute> route) {
    int level = viewerLevel(controller->offerSdp().value_or(""));
    auto profile = MacStreamProfile::resolve(MacShareQuality::sharp, level, route);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", level);
    std::string routeText = !route ? "-" : *route == RTCMediaRoute::relay ? "relay" : "direct";
    return "画质档位 " + rawValue(profile.quality) + " maxKbps=" + std::to_string(profile.maxBitrate / 1000) +
           " fps=" + std::to_string(profile.fps) + " viewerLevel=0x" + hex + " route=" + routeText;
}

std::vector<SignalTap::HttpRequest> ShareHostTest::heartbeats() {
    std::vector<SignalTap::HttpRequest> matching;
    for (const auto& request : tap->requests())
        if (request.method == "POST" && request.path == "/v1/devices/" + hostDevice.id + "/heartbeat")
            matching.push_back(request);
    return matching;
}

std::vector<Json> ShareHostTest::hostSent(const std::string& type) {
    std::vector<Json> matching;
    for (const auto& message : tap->hostMessages())
        if (signalType(message) == type) matching.push_back(message);
    return matching;
}

void ShareHostTest::barrierAfterInjected() {
    size_t before = heartbeats().size();
    ASSERT_TRUE(tap->injectToHost({{"type", "ready"}}));
    ASSERT_TRUE(waitFor([&] { return heartbeats().size() > before; }));
    settleMainQueue();
}

} // namespace quorlinth::testing
