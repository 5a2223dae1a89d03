#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quorlinth::testing {

// A loopback HTTP(S) server for tests that answers each connection with the next scripted raw
// response (bytes exactly as given, so malformed answers can be scripted too) and records
// the requests it received.
class ScriptedHttpServer {
public:
    struct Recorded {
        std::string method;
        std::string target;
        std::map<std::string, std::string> headers; // names in lower case
        std::string body;
    };
    struct TlsFiles {
        std::filesystem::path certificate;
        std::filesystem::path privateKey;
    };

    explicit ScriptedHttpServer(std::optional<TlsFiles> tls = std::nullopt);
    ~ScriptedHttpServer();

    // http://127.0.0.1:PORT (https when serving TLS).
    std::string baseURL() const;
    unsigned short port() const { return boundPort; }

    // Queues one raw response; connections without one get a 500 with a JSON error.
    void respond(std::string raw);
    // A well-formed response with the given status, body and extra header lines.
    static std::string response(int status, const std::string& body, const std::string& extraHeaders = "");
    // A response that never comes: the connection is held open until the server stops.
    static constexpr const char* kSilence = "<silence>";

    std::vector<Recorded> requests() const;

private:
    void serve();
    void handle(boost::asio::ip::tcp::socket socket);
    std::string nextResponse();

    std::optional<TlsFiles> tls;
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor;
    unsigned short boundPort = 0;
    mutable std::mutex mutex;
    std::deque<std::string> script;
    std::vector<Recorded> received;
    bool stopping = false;
    std::vector<std::shared_ptr<boost::asio::ip::tcp::socket>> held;
    std::thread worker;
};

// Writes a self-signed certificate for IP 127.0.0.1 (and no host name) with its key into
// `folder` using the openssl tool; returns the files.
ScriptedHttpServer::TlsFiles makeLoopbackCertificate(const std::filesystem::path& folder);

// A fresh temporary folder, removed by the caller.
std::filesystem::path makeTemporaryFolder(const std::string& prefix);

} // namespace quorlinth::testing
