// A share host restricted to relayed candidates, through a real TURN relay (coturn on loopback
// inside the test's namespace) whose time-limited credentials the service hands out.

#include "ChildProcess.h"
#include "ShareHostFixture.h"

#include <arpa/inet.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace quorlinth;
using namespace quorlinth::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kRelaySecret = "sharehost-relay-secret";

bool acceptsConnections(uint16_t port) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool listening = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return listening;
}

} // namespace

class ShareHostRelayTest : public ShareHostTest {
protected:
    void SetUp() override {
        if (access("/usr/bin/turnserver", X_OK) != 0) GTEST_SKIP() << "coturn is not installed";
        relay = std::make_unique<ChildProcess>(
            std::vector<std::string>{"/usr/bin/turnserver", "-n", "--listening-ip=127.0.0.1",
                                     "--relay-ip=127.0.0.1", "--listening-port=3478", "--use-auth-secret",
                                     std::string("--static-auth-secret=") + kRelaySecret,
                                     "--realm=quorlinth.test", "--allow-loopback-peers", "--no-tls",
                                     "--no-dtls", "--no-cli", "--log-file=stdout", "--simple-log"},
            Environment{}, dir.path() / "coturn.out");
        ShareHostTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(waitFor([] { return acceptsConnections(3478); }, Millis(10'000)))
            << "coturn did not start";
    }

    void TearDown() override {
        ShareHostTest::TearDown();
        relay.reset();
    }

    ServiceProcess::Options serviceOptions() override {
        auto path = dir.path() / "ice.json";
        Json relayServer = {{"urls", {"turn:127.0.0.1:3478", "turn:127.0.0.1:3478?transport=tcp"}},
                            {"secret", kRelaySecret},
                            {"ttl", 3600}};
        std::ofstream(path) << dumpJson(Json{{"servers", Json::array({relayServer})}});
        ServiceProcess::Options options;
        options.iceConfig = path;
        return options;
    }

    std::unique_ptr<ChildProcess> relay;
};

TEST_F(ShareHostRelayTest, SendsMediaThroughTheRelayAndAppliesTheRelayProfile) {
    ASSERT_NO_FATAL_FAILURE(startCliHost(/*relay=*/true));
    ASSERT_NO_FATAL_FAILURE(startController());
    ASSERT_NO_FATAL_FAILURE(negotiateUntilFrames());

    // The request carried the relay; the summary names each TURN address and transport.
    EXPECT_TRUE(hostLogged("中转 127.0.0.1:3478/udp, 127.0.0.1:3478/tcp"));
    EXPECT_TRUE(hostLogged("中转分配 1 个"));
    auto candidates = hostSent("ice");
    ASSERT_FALSE(candidates.empty());
    for (const auto& candidate : candidates)
        EXPECT_NE(field::string(candidate, "candidate", "").find(" typ relay"), std::string::npos)
            << "the relay policy offers relayed candidates only";
    Json accepted = controllerReceived("accepted")[0];
    const Json* servers = field::array(accepted, "ice_servers");
    ASSERT_TRUE(servers && !servers->empty()) << dumpJson(accepted);
    EXPECT_TRUE(field::string((*servers)[0], "username") && field::string((*servers)[0], "credential"));

    // The route timer reads a relayed pair and the encoder gets the relay profile.
    std::string relayLine = encodingLine(RTCMediaRoute::relay);
    EXPECT_TRUE(waitFor([&] { return hostLogged(relayLine); })) << relayLine << "\n" << hostTranscript();
    EXPECT_FALSE(hostLogged(" route=direct"));
}
