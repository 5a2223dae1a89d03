// The engine through a TURN relay (coturn on loopback inside the test's namespace) with
// time-limited credentials, over UDP and TCP to the relay, and a relay that cannot be reached.

#include "PeerProcess.h"
#include "base/Encoding.h"

#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quorlinth;
using namespace quorlinth::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kSecret = "relay-test-secret";

bool isEvent(const Json& event, const std::string& name) {
    return field::string(event, "event").value_or("") == name;
}

// The relay's REST-style credentials: user "expiry:name", credential base64(HMAC-SHA1(secret, user)).
std::pair<std::string, std::string> timeLimitedCredentials() {
    std::string user = std::to_string(std::time(nullptr) + 3600) + ":quorlinth-test";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha1(), kSecret, static_cast<int>(std::strlen(kSecret)),
         reinterpret_cast<const unsigned char*>(user.data()), user.size(), digest, &length);
    return {user, base64Encode(Bytes(digest, digest + length))};
}

std::unique_ptr<PeerProcess> startRelay() {
    auto relay = std::make_unique<PeerProcess>(std::vector<std::string>{
        "/usr/bin/turnserver", "-n", "--listening-ip=127.0.0.1", "--relay-ip=127.0.0.1",
        "--listening-port=3478", "--use-auth-secret", std::string("--static-auth-secret=") + kSecret,
        "--realm=quorlinth.test", "--allow-loopback-peers", "--no-tls", "--no-dtls", "--no-cli",
        "--log-file=stdout", "--simple-log"});
    // Ready once it accepts a TCP connection on its listening port.
    for (int attempt = 0; attempt < 200; ++attempt) {
        int probe = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(3478);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool listening = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(probe);
        if (listening) break;
        std::this_thread::sleep_for(50ms);
    }
    return relay;
}

std::vector<std::string> relayFlags(const std::string& url) {
    auto [user, credential] = timeLimitedCredentials();
    return {"--ice-url", url, "--username", user, "--credential", credential, "--relay-only"};
}

} // namespace

TEST(RTCPeerConnection, ConnectsThroughATurnRelayOverUdpAndTcp) {
    if (access("/usr/bin/turnserver", X_OK) != 0) GTEST_SKIP() << "coturn is not installed";
    auto relay = startRelay();
    for (const char* url : {"turn:127.0.0.1:3478", "turn:127.0.0.1:3478?transport=tcp"}) {
        SCOPED_TRACE(url);
        std::vector<std::string> offererArguments{QUORLINTH_RTC_TEST_PEER, "offerer"};
        for (auto& flag : relayFlags(url))
            offererArguments.push_back(flag);
        std::vector<std::string> answererArguments{QUORLINTH_RTC_TEST_PEER, "answerer"};
        for (auto& flag : relayFlags(url))
            answererArguments.push_back(flag);
        PeerProcess relayedAnswerer(answererArguments);
        PeerProcess offerer(offererArguments);
        offerer.relaySignalsTo(relayedAnswerer);
        relayedAnswerer.relaySignalsTo(offerer);
        // Only relay candidates are offered under the relay policy.
        auto candidate = offerer.waitFor(
            [](const Json& e) { return isEvent(e, "signal") && field::string(e, "type") == "ice"; }, 20s);
        ASSERT_TRUE(candidate);
        EXPECT_NE(field::string(*candidate, "candidate").value_or("").find(" typ relay"), std::string::npos);
        auto connected = [](const Json& e) {
            return isEvent(e, "peer-state") && field::int32(e, "state") == 2;
        };
        ASSERT_TRUE(offerer.waitFor(connected, 30s));
        relayedAnswerer.send({{"cmd", "push"}, {"width", 640}, {"height", 360}, {"fps", 30}});
        EXPECT_TRUE(offerer.waitFor(
            [](const Json& e) { return isEvent(e, "frame") && field::int32(e, "width") == 640; }, 20s));
        offerer.send({{"cmd", "stats"}});
        auto stats = offerer.waitForEvent("stats", 20s);
        ASSERT_TRUE(stats);
        bool relayed = false;
        for (const auto& [id, entry] : (*stats)["report"].items())
            relayed = relayed || (field::string(entry, "type") == "local-candidate" &&
                                  field::string(entry, "candidateType") == "relay");
        EXPECT_TRUE(relayed);
    }
    relay->kill();
}

TEST(RTCPeerConnection, ReportsATurnServerThatGaveNoCandidate) {
    // Nothing listens on this port inside the namespace.
    PeerProcess offerer({QUORLINTH_RTC_TEST_PEER, "offerer", "--ice-url", "turn:127.0.0.1:3999", "--username",
                         "u", "--credential", "p"});
    auto error = offerer.waitForEvent("gathering-error", 60s);
    ASSERT_TRUE(error);
    EXPECT_EQ(field::string(*error, "url"), "turn:127.0.0.1:3999");
    EXPECT_EQ(field::int32(*error, "code"), 701);
}
