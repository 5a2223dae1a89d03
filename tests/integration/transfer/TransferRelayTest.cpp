// The relay size rule over a real relayed route: coturn on loopback inside the test's namespace,
// both transfer peers relay-only and told their route is relay.

#include "ChildProcess.h"
#include "PeerProcess.h"
#include "base/Encoding.h"
#include "crypto/Sha256.h"
#include "transfer/TransferMessage.h"

#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <fstream>
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
namespace fs = std::filesystem;

namespace {

constexpr const char* kSecret = "transfer-relay-secret";
constexpr int64_t kRelayLimit = 104'857'600;

bool isEvent(const Json& event, const std::string& name) {
    return field::string(event, "event").value_or("") == name;
}

// Time-limited relay credentials: user "expiry:name", credential base64(HMAC-SHA1(secret, user)).
std::pair<std::string, std::string> relayCredentials() {
    std::string user = std::to_string(std::time(nullptr) + 3600) + ":quorlinth-transfer";
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

std::string fileSha256(const fs::path& path) {
    crypto::Sha256 hash;
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        hash.update(reinterpret_cast<const uint8_t*>(buffer.data()), static_cast<size_t>(in.gcount()));
    }
    return hexEncode(hash.finish());
}

} // namespace

TEST(TransferRelay, LimitFileArrivesAndOneByteMoreIsRefusedOnBothSides) {
    if (access("/usr/bin/turnserver", X_OK) != 0) GTEST_SKIP() << "coturn is not installed";
    auto relay = startRelay();
    TempDir root;
    auto [user, credential] = relayCredentials();
    auto peer = [&](const char* role) {
        return std::make_unique<PeerProcess>(std::vector<std::string>{
            QUORLINTH_TRANSFER_TEST_PEER, role, "--downloads", (root.path() / role).string(), "--route",
            "relay", "--ice-url", "turn:127.0.0.1:3478", "--username", user, "--credential", credential,
            "--relay-only"});
    };
    auto host = peer("answerer");
    auto controller = peer("offerer");
    controller->relaySignalsTo(*host);
    host->relaySignalsTo(*controller);
    ASSERT_TRUE(controller->waitForEvent("open", 60s) && host->waitForEvent("open", 60s));

    fs::path limit = root.path() / "limit.bin";
    fs::path over = root.path() / "over.bin";
    {
        std::ofstream out(limit, std::ios::binary);
        std::vector<char> block(1 << 20);
        for (int64_t mib = 0; mib < kRelayLimit >> 20; ++mib) {
            block[mib % block.size()] = static_cast<char>(mib);
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    fs::copy_file(limit, over);
    std::ofstream(over, std::ios::binary | std::ios::app) << "!";
    controller->send({{"cmd", "send"}, {"files", {over.string(), limit.string()}}});
    auto refused = controller->waitForEvent("transfer-error", 30s);
    ASSERT_TRUE(refused);
    EXPECT_EQ(field::string(*refused, "text"), "over.bin 超过 100 MB，中转连接下暂不发送；直连时不限大小");
    auto received = host->waitForEvent("received", 240s);
    ASSERT_TRUE(received);
    fs::path saved = field::string(*received, "path").value_or("");
    EXPECT_EQ(fs::file_size(saved), static_cast<uintmax_t>(kRelayLimit));
    EXPECT_EQ(fileSha256(saved), fileSha256(limit));
    ASSERT_TRUE(controller->waitForEvent("sent", 30s));

    // A sender that ignores the rule meets the receiver's.
    controller->send(
        {{"cmd", "raw"}, {"data", TransferMessage::offer("big", "over.bin", kRelayLimit + 1, false)}});
    auto answer = controller->waitFor(
        [](const Json& e) {
            const Json* message = field::object(e, "message");
            return isEvent(e, "wire") && message && field::string(*message, "id") == "big";
        },
        30s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(field::string(answer->at("message"), "t"), "reject");
    EXPECT_EQ(field::string(answer->at("message"), "reason"), "too_large");
    relay->kill();
}
