// libFuzzer target: signaling frames as both ends read them and as the service relays them.
// The input is a script of lines; each line's first byte picks the sending socket (the host,
// the controller or a stranger with no session) and the rest is the frame. Every frame is
// also read the way the host and the controller read what they receive. "SID" in a frame
// stands for the open session's id, which the service draws at random. Checks that the
// relay only ever delivers JSON objects with a type, only for the one open session, and never
// to the stranger.

#include "SignalHub.h"
#include "signaling/SignalMessages.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

using namespace quorlinth;
using namespace quorlinth::service;

namespace {

class RecordingPeer : public SignalPeer {
public:
    bool sendText(std::string text) override {
        check(text);
        return ++relayed < 64; // a reader that falls behind closes the sender for policy
    }
    void sendControl(std::string text) override { check(text); }
    void close() override {}
    void closeForPolicy() override {}

    std::string session; // the only session whose frames this peer may receive (the first seen)
    bool stranger = false;

private:
    void check(const std::string& text) {
        auto message = parseJsonObject(text);
        if (!message) std::abort();
        std::string type = signalType(*message);
        if (type.empty()) std::abort();
        if (type == "ready") return;
        if (stranger) std::abort();
        auto id = signalSessionID(*message);
        if (!id) std::abort();
        if (session.empty()) session = *id; // the "request" that opens the session
        if (*id != session) std::abort();
    }

    int relayed = 0;
};

// What the host and the controller do with a frame they receive.
void readAsEndpoints(std::string_view frame) {
    auto message = parseJsonObject(frame);
    if (!message) return;
    signalType(*message);
    signalSessionID(*message);
    SignalRequest request = parseSignalRequest(*message);
    if (request.guest && !request.controllerID.empty()) std::abort();
    if (relaySummary(request.iceServers).empty()) std::abort();
    if (auto candidate = parseIceCandidate(*message))
        if (candidate->candidate != field::string(*message, "candidate", "")) std::abort();
    parseSessionCreationReply(*message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ServiceClock clock;
    ServiceSettings settings;
    SignalHub hub(clock, settings);
    auto host = std::make_shared<RecordingPeer>();
    auto controller = std::make_shared<RecordingPeer>();
    auto stranger = std::make_shared<RecordingPeer>();
    stranger->stranger = true;
    uint64_t connections[] = {hub.attach("host", host), hub.attach("controller", controller),
                              hub.attach("stranger", stranger)};
    auto session =
        hub.openSession({"host", "controller", "笔记本", false,
                         Json::array({Json{{"urls", Json::array({"turn:127.0.0.1:3478"})}}}), Json::array()});
    if (!session) std::abort();

    std::string_view script(reinterpret_cast<const char*>(data), size);
    while (!script.empty()) {
        size_t end = script.find('\n');
        std::string_view line = script.substr(0, end);
        script = end == std::string_view::npos ? std::string_view() : script.substr(end + 1);
        if (line.empty()) continue;
        std::string frame(line.substr(1));
        for (size_t at = frame.find("SID"); at != std::string::npos;
             at = frame.find("SID", at + session.value().size()))
            frame.replace(at, 3, session.value());
        readAsEndpoints(frame);
        hub.receive(connections[static_cast<uint8_t>(line[0]) % 3], frame);
    }
    hub.clear();
    return 0;
}
