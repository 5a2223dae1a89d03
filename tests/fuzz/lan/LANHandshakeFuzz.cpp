// Drives the shared Mac's side of the LAN handshake and the link's framing with a script the
// fuzzer chooses: well-formed controller steps (hello, auth with the right, a wrong or no
// proof, signed and unsigned signaling, consent answers, time passing, new connections) mixed
// with raw bytes that split, corrupt or overflow lines. Checks that the host never speaks
// after a rejection and accepts a connection at most once. The seed corpus spells scripts
// byte by byte (each byte picks a step: byte % 17).

#include "base/MainQueue.h"
#include "lan/LANIdentity.h"
#include "lan/LANTransport.h"
#include "lan/MacLANHost.h"
#include "lan/MacLANLink.h"

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <unistd.h>

using namespace quorlinth;

namespace {

// Bytes in memory: the script writes reads when the link asks for one; what the host sends
// is kept.
class MemoryTransport : public LANTransport {
public:
    void start(Events newEvents) override {
        events = std::move(newEvents);
        wanting = true;
    }
    void readMore() override { wanting = true; }
    void send(std::string bytes, std::function<void()> sent) override {
        if (!cancelled) written += bytes;
        if (sent) sent();
    }
    void cancel() override {
        cancelled = true;
        events = {};
    }
    void push(std::string bytes) {
        if (cancelled || !wanting || bytes.empty() || !events.onData) return;
        wanting = false;
        events.onData(std::move(bytes));
    }
    void end() {
        if (!cancelled && events.onEnd) events.onEnd();
    }

    std::string written;
    bool cancelled = false;

private:
    Events events;
    bool wanting = false;
};

struct Target : LANSessionTarget {
    bool busy = false;
    int sessions = 0;
    std::optional<std::string> attachLocal(const std::string&, std::function<void(Json)> send) override {
        if (busy) return std::nullopt;
        send({{"type", "answer"}, {"sdp", "v=0"}, {"session_id", "x"}});
        return "lan-" + std::to_string(++sessions);
    }
    void receiveLocal(Json) override {}
};

// The script's view of one connection, and what it has read of the host's lines.
struct Peer {
    std::shared_ptr<MemoryTransport> transport = std::make_shared<MemoryTransport>();
    std::string nonce = makeNonce();
    std::string hostNonce;
    size_t checkedBytes = 0;
    bool rejected = false;
    int accepted = 0;
};

// The host's new lines on `peer`; aborts when it spoke after rejecting or accepted twice. Reads
// each line once, so that a long script costs in proportion to its length.
void checkHostLines(Peer& peer, const std::string& hostKey) {
    const std::string& written = peer.transport->written;
    size_t end;
    while ((end = written.find('\n', peer.checkedBytes)) != std::string::npos) {
        auto line =
            parseJsonObject(std::string_view(written).substr(peer.checkedBytes, end - peer.checkedBytes));
        peer.checkedBytes = end + 1;
        if (!line || peer.rejected) std::abort();
        auto type = field::string(*line, "t").value_or("");
        if (type == "hello") peer.hostNonce = field::string(*line, "nonce").value_or("");
        peer.rejected = peer.rejected || type == "rejected";
        if (type == "accepted" && ++peer.accepted > 1) std::abort();
        if (type == "rtc" && !verify(hostKey, field::string(*line, "sig"), "sdp|v=0")) std::abort();
    }
}

// Padding that pushes a line past the reader's limit; a few per input show every way over it,
// more would only make the input slow.
constexpr int kOverflowsPerInput = 4;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The trust store's file, removed when the fuzzer exits.
    static const struct Scratch {
        std::filesystem::path file = std::filesystem::temp_directory_path() /
                                     ("quorlinth-lan-fuzz-" + std::to_string(getpid()) + ".json");
        ~Scratch() { std::filesystem::remove(file); }
    } scratch;
    const std::filesystem::path& defaultsFile = scratch.file;
    static const crypto::P256SigningKey hostIdentity = crypto::P256SigningKey::generate();
    static const crypto::P256SigningKey controller = crypto::P256SigningKey::generate();
    static const std::string hostKey = publicKeyText(hostIdentity), controllerKey = publicKeyText(controller);

    std::filesystem::remove(defaultsFile);
    UserDefaults defaults(defaultsFile);
    MacLANTrust trust(defaults, kLANTrustedControllersKey);
    auto target = std::make_shared<Target>();
    Clock::time_point now = Clock::now();
    // One loop per input, gone with it: the timers an input leaves (handshake and consent
    // time-outs, holding its links and their buffers) would otherwise pile up for their whole
    // real-time delay and slow every later input. Declared after what the host refers to, so
    // the host that its pending tasks keep alive goes before them.
    RunLoop loop;
    MacLANHost::Options options;
    options.main = &loop;
    options.now = [&now] { return now; };
    auto host = MacLANHost::create(hostIdentity, trust, target, "书房", options);
    std::deque<std::function<void(bool)>> consents;
    host->confirm = [&](MacLANHost::Request, std::function<void(bool)> completion) {
        consents.push_back(std::move(completion));
    };

    std::deque<Peer> peers; // references stay valid as connections are added
    auto open = [&] {
        peers.emplace_back();
        host->serve(MacLANLink::create(peers.back().transport, loop));
    };
    open();
    auto line = [](const Json& message) { return dumpJson(message) + "\n"; };
    auto auth = [&](Peer& peer, std::optional<std::string> password, bool validSignature) {
        Json message = {
            {"t", "auth"},
            {"sig",
             sign(validSignature ? "controller|" + peer.hostNonce + "|" + hostKey : "forged", controller)}};
        if (password) message["pw"] = passwordProof(*password, peer.hostNonce, controllerKey, hostKey);
        return line(message);
    };

    size_t at = 0;
    int overflows = 0;
    auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    while (at < size) {
        Peer& peer = peers.back();
        uint8_t op = next();
        std::string bytes;
        switch (op % 17) {
        case 0: { // raw bytes, possibly half a line or a huge one
            size_t length = std::min<size_t>(next(), size - at);
            bytes.assign(reinterpret_cast<const char*>(data + at), length);
            at += length;
            if (op & 0x80 && overflows++ < kOverflowsPerInput)
                bytes += std::string(LANLineReader::kMaxPendingBytes / 2, 'x');
            break;
        }
        case 1:
            bytes = line({{"t", "hello"}, {"key", controllerKey}, {"name", "控制端"}, {"nonce", peer.nonce}});
            break;
        case 2:
            bytes = line({{"t", "hello"}, {"key", controllerKey}, {"nonce", std::string(next() % 40, 'a')}});
            break;
        case 3:
            bytes = auth(peer, std::nullopt, true);
            break;
        case 4:
            bytes = auth(peer, host->password(), true);
            break;
        case 5:
            bytes = auth(peer, "wrongwrong", true);
            break;
        case 6:
            bytes = auth(peer, host->password(), false);
            break;
        case 7:
            bytes = line(rtcMessage({{"type", "offer"}, {"sdp", "v=0"}}, controller));
            break;
        case 8:
            bytes = line({{"t", "rtc"}, {"m", {{"type", "offer"}, {"sdp", "v=0"}}}});
            break;
        case 9:
            bytes = line({{"t", "rtc"}, {"m", {{"type", "ice"}, {"candidate", "c"}}}});
            break;
        case 10:
        case 11:
            if (!consents.empty()) {
                auto completion = std::move(consents.front());
                consents.pop_front();
                completion(op % 17 == 10);
            }
            break;
        case 12:
            now += Millis(301'000);
            break;
        case 13:
            host->rotatePassword();
            break;
        case 14:
            peer.transport->end();
            break;
        case 15:
            target->busy = !target->busy;
            break;
        case 16:
            if (peers.size() < 8) open();
            break;
        }
        peer.transport->push(std::move(bytes));
        loop.runFor(Millis(0));
        for (auto& each : peers)
            checkHostLines(each, hostKey);
    }
    host->stop();
    loop.runFor(Millis(0));
    for (auto& peer : peers)
        if (!peer.transport->cancelled) std::abort(); // stopping closes every link
    return 0;
}
