#include "ServiceFixture.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlinth::testing {
namespace {

namespace fs = std::filesystem;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::string statusLineOf(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

// The service's peak while it sends a 512 MiB file. AddressSanitizer holds freed blocks in a
// quarantine of up to 256 MiB, so its bound is looser; holding the file would exceed either.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kPeakBoundKiB = 400 * 1024;
#else
constexpr long kPeakBoundKiB = 96 * 1024;
#endif

// Peak resident memory of the process whose command line mentions `needle`, in KiB; 0 if none.
long peakResidentKiB(const std::string& needle) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream commandLine(entry.path() / "cmdline");
        std::string text((std::istreambuf_iterator<char>(commandLine)), {});
        if (text.find(needle) == std::string::npos || text.find("quorlinth-service") == std::string::npos)
            continue;
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

class ReleaseDownload : public TunedServiceTest {
protected:
    void SetUp() override {
        fs::create_directories(releases / "sub");
        writeFile(releases / "release.json", kManifest);
        writeFile(releases / "Quorlinth-Linux-0123456789abcdef.tar.gz", std::string(70000, 'z'));
        writeFile(releases / "notes.txt", "notes");
        writeFile(releases / "empty.bin", "");
        writeFile(releases / ".hidden", "hidden");
        writeFile(releases / "sub" / "b", "in a subfolder");
        writeFile(dir.path() / "secret.txt", "outside the folder");
        fs::create_symlink(dir.path() / "secret.txt", releases / "outside");
        fs::create_symlink("notes.txt", releases / "alias.txt");
        ASSERT_EQ(0, mkfifo((releases / "pipe").c_str(), 0600));
        startTuned({"--releases", releases.string()});
    }

    static constexpr const char* kManifest = R"({"linux": {"build": "2"}})";
    fs::path releases = dir.path() / "www";
};

TEST_F(ReleaseDownload, ServesOnlyPlainFilesDirectlyInTheFolder) {
    struct Case {
        std::string target;
        int status;
        const char* contentType;
        std::string body;
    } cases[] = {
        {"/download/release.json", 200, "application/json", kManifest},
        {"/download/release.json?t=1", 200, "application/json", kManifest},
        {"/download/Quorlinth-Linux-0123456789abcdef.tar.gz", 200, "application/gzip",
         std::string(70000, 'z')},
        {"/download/notes.txt", 200, "application/octet-stream", "notes"},
        {"/download/empty.bin", 200, "application/octet-stream", ""},
        {"/download/../secret.txt", 404, nullptr, ""},
        {"/download/%2e%2e%2fsecret.txt", 404, nullptr, ""},
        {"/download/.hidden", 404, nullptr, ""},
        {"/download/sub/b", 404, nullptr, ""},
        {"/download/sub", 404, nullptr, ""},
        {"/download/outside", 404, nullptr, ""},
        {"/download/alias.txt", 404, nullptr, ""},
        {"/download/pipe", 404, nullptr, ""},
        {"/download/missing.tar.gz", 404, nullptr, ""},
        {"/download/" + std::string(300, 'a'), 404, nullptr, ""},
        {"/download/", 404, nullptr, ""},
        {"/download", 404, nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        HttpReply reply = client->request("GET", c.target);
        EXPECT_EQ(c.status, reply.status);
        if (c.status != 200) {
            EXPECT_EQ("not_found", reply.error());
            continue;
        }
        EXPECT_EQ(c.contentType, reply.headers["content-type"]);
        EXPECT_EQ(std::to_string(c.body.size()), reply.headers["content-length"]);
        EXPECT_TRUE(c.body == reply.body);
        EXPECT_EQ(c.target.rfind("/download/release.json", 0) == 0 ? "no-cache" : "",
                  reply.headers["cache-control"]);
    }
    EXPECT_EQ(404, client->request("POST", "/download/release.json", "", Json::object()).status);
    EXPECT_TRUE(tuned->isRunning());
}

TEST_F(ReleaseDownload, HeadNamesTheSizeAndTheConnectionCarriesOn) {
    std::string head = client->rawExchange("HEAD /download/notes.txt HTTP/1.1\r\nHost: x\r\n\r\n"
                                           "GET /download/notes.txt HTTP/1.1\r\nHost: x\r\n\r\n"
                                           "GET /v1/health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 200 OK", statusLineOf(head));
    size_t headEnd = head.find("\r\n\r\n");
    EXPECT_NE(std::string::npos, head.substr(0, headEnd).find("Content-Length: 5"));
    std::string rest = head.substr(headEnd + 4);
    EXPECT_EQ(0u, rest.rfind("HTTP/1.1 200 OK", 0)) << "no body follows the HEAD answer";
    EXPECT_NE(std::string::npos, rest.find("\r\n\r\nnotesHTTP/1.1 200 OK")) << rest;
    EXPECT_NE(std::string::npos, rest.find("\"status\":\"ok\"")) << rest;
}

TEST_F(ReleaseDownload, StreamsALargeArchiveWithoutHoldingItInMemory) {
    // 512 MiB, sparse apart from a few marked pieces, so that a wrong offset shows.
    constexpr uint64_t kSize = 512ull << 20;
    const fs::path archive = releases / "Quorlinth-Linux-large.tar.gz";
    int file = ::open(archive.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(0, ::ftruncate(file, off_t(kSize)));
    for (uint64_t at : {uint64_t(0), uint64_t(65535), kSize / 3, kSize - 7}) {
        std::string mark = "mark@" + std::to_string(at);
        mark.resize(std::min<uint64_t>(mark.size(), kSize - at));
        ASSERT_EQ(ssize_t(mark.size()), ::pwrite(file, mark.data(), mark.size(), off_t(at)));
    }

    net::io_context io;
    tcp::socket socket(io);
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), tuned->port()));
    http::request<http::empty_body> request{http::verb::get, "/download/Quorlinth-Linux-large.tar.gz", 11};
    request.set(http::field::host, "127.0.0.1");
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response_parser<http::buffer_body> parser;
    parser.body_limit(std::numeric_limits<uint64_t>::max());
    http::read_header(socket, buffer, parser);
    ASSERT_EQ(200u, parser.get().result_int());
    ASSERT_EQ(kSize, parser.content_length().value_or(0));

    std::vector<char> chunk(1 << 20), expected(1 << 20);
    uint64_t received = 0;
    bool same = true;
    while (!parser.is_done()) {
        parser.get().body().data = chunk.data();
        parser.get().body().size = chunk.size();
        beast::error_code error;
        http::read(socket, buffer, parser, error);
        if (error && error != http::error::need_buffer) FAIL() << error.message();
        size_t count = chunk.size() - parser.get().body().size;
        ASSERT_EQ(ssize_t(count), ::pread(file, expected.data(), count, off_t(received)));
        same = same && std::equal(chunk.begin(), chunk.begin() + long(count), expected.begin());
        received += count;
    }
    ::close(file);
    EXPECT_EQ(kSize, received);
    EXPECT_TRUE(same) << "the bytes sent are the file's";
    long peak = peakResidentKiB(dir.path().string());
    ASSERT_GT(peak, 0);
    EXPECT_LT(peak, kPeakBoundKiB) << "the service's peak memory grew with the file";
}

using ReleasesNotPublished = ServiceTest;

TEST_F(ReleasesNotPublished, DownloadsAreNotFound) {
    HttpReply reply = client->request("GET", "/download/release.json");
    EXPECT_EQ(404, reply.status);
    EXPECT_EQ("not_found", reply.error());
}

} // namespace
} // namespace quorlinth::testing
