// The archive download over TLS against a scripted loopback server.
#include "updates/UpdateDownload.h"

#include "ScriptedHttpServer.h"
#include "crypto/Sha256.h"

#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>

using namespace quorlinth;
using quorlinth::testing::ScriptedHttpServer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class SecureDownload : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(folder); }

    Result<Bytes> download(const std::optional<fs::path>& caFile) {
        std::promise<Result<Bytes>> promise;
        auto answer = promise.get_future();
        UpdateDownload transfer;
        transfer.start(
            {server.baseURL() + "/download/archive.tar.gz", folder / "archive.tar.gz", archive.size(),
             hexEncode(crypto::sha256(archive)), caFile},
            [this](uint64_t received) {
                std::lock_guard lock(mutex);
                progress.push_back(received);
            },
            [&](Result<Bytes> done) { promise.set_value(std::move(done)); });
        if (answer.wait_for(60s) != std::future_status::ready) return Error{"no answer"};
        return answer.get();
    }

    fs::path folder = quorlinth::testing::makeTemporaryFolder("quorlinth-download-");
    ScriptedHttpServer::TlsFiles tls = quorlinth::testing::makeLoopbackCertificate(folder);
    ScriptedHttpServer server{tls};
    std::string archive = [] {
        std::string data(3'000'000, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = char((i * 7919) >> 5);
        return data;
    }();
    std::mutex mutex;
    std::vector<uint64_t> progress;
};

} // namespace

TEST_F(SecureDownload, StreamsToTheFileWithItsDigestAndProgress) {
    server.respond("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(archive.size()) + "\r\n\r\n" +
                   archive);
    auto digest = download(tls.certificate);
    ASSERT_TRUE(digest) << digest.error();
    EXPECT_EQ(digest.value(), crypto::sha256(archive));
    std::ifstream file(folder / "archive.tar.gz", std::ios::binary);
    std::ostringstream written;
    written << file.rdbuf();
    EXPECT_EQ(written.str(), archive);

    std::lock_guard lock(mutex);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), archive.size());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_LE(progress.size(), 101u) << "about one report per percent";
    EXPECT_EQ(server.requests().at(0).target, "/download/archive.tar.gz");
}

TEST_F(SecureDownload, AnUntrustedCertificateStopsBeforeAnyByteIsWritten) {
    server.respond("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(archive.size()) + "\r\n\r\n" +
                   archive);
    auto digest = download(std::nullopt);
    ASSERT_FALSE(digest);
    EXPECT_EQ(digest.error(), "无法连接下载服务器");
    EXPECT_FALSE(fs::exists(folder / "archive.tar.gz"));
}
