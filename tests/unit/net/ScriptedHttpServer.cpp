#include "ScriptedHttpServer.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstdlib>
#include <stdexcept>

namespace quorlinth::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

ScriptedHttpServer::ScriptedHttpServer(std::optional<TlsFiles> tls)
    : tls(std::move(tls)), acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
    boundPort = acceptor.local_endpoint().port();
    worker = std::thread([this] { serve(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
        for (auto& socket : held) {
            boost::system::error_code ignored;
            socket->close(ignored);
        }
    }
    // Wakes the blocking accept.
    boost::system::error_code ignored;
    tcp::socket poke(io);
    poke.connect(acceptor.local_endpoint(), ignored);
    worker.join();
}

std::string ScriptedHttpServer::baseURL() const {
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(boundPort);
}

void ScriptedHttpServer::respond(std::string raw) {
    std::lock_guard lock(mutex);
    script.push_back(std::move(raw));
}

std::string ScriptedHttpServer::response(int status, const std::string& body,
                                         const std::string& extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Scripted\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nContent-Type: application/json\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
}

std::vector<ScriptedHttpServer::Recorded> ScriptedHttpServer::requests() const {
    std::lock_guard lock(mutex);
    return received;
}

std::string ScriptedHttpServer::nextResponse() {
    std::lock_guard lock(mutex);
    if (script.empty()) return response(500, R"({"error":"unscripted"})");
    std::string next = std::move(script.front());
    script.pop_front();
    return next;
}

void ScriptedHttpServer::serve() {
    for (;;) {
        tcp::socket socket(io);
        boost::system::error_code ec;
        acceptor.accept(socket, ec);
        {
            std::lock_guard lock(mutex);
            if (stopping) return;
        }
        if (!ec) handle(std::move(socket));
    }
}

namespace {

template <class Stream> bool readRequest(Stream& stream, ScriptedHttpServer::Recorded& recorded) {
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    boost::system::error_code ec;
    http::read(stream, buffer, request, ec);
    if (ec) return false;
    recorded.method = std::string(request.method_string());
    recorded.target = std::string(request.target());
    for (const auto& field : request) {
        std::string name(field.name_string());
        for (auto& c : name)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        recorded.headers[name] = std::string(field.value());
    }
    recorded.body = request.body();
    return true;
}

} // namespace

void ScriptedHttpServer::handle(tcp::socket socket) {
    // Connections are served one at a time: the clients under test send one request each.
    Recorded recorded;
    auto shared = std::make_shared<tcp::socket>(std::move(socket));
    boost::system::error_code ec;
    // A request is recorded before it is answered: a client that has its answer may look at once.
    auto record = [&] {
        std::string answer = nextResponse();
        std::lock_guard lock(mutex);
        received.push_back(std::move(recorded));
        if (answer == kSilence) held.push_back(shared);
        return answer;
    };
    if (tls) {
        asio::ssl::context context(asio::ssl::context::tls_server);
        context.use_certificate_chain_file(tls->certificate.string());
        context.use_private_key_file(tls->privateKey.string(), asio::ssl::context::pem);
        asio::ssl::stream<tcp::socket&> stream(*shared, context);
        stream.handshake(asio::ssl::stream_base::server, ec);
        if (ec || !readRequest(stream, recorded)) return;
        std::string answer = record();
        asio::write(stream, asio::buffer(answer), ec);
        stream.shutdown(ec);
    } else {
        if (!readRequest(*shared, recorded)) return;
        std::string answer = record();
        if (answer != kSilence) asio::write(*shared, asio::buffer(answer), ec);
    }
}

ScriptedHttpServer::TlsFiles makeLoopbackCertificate(const std::filesystem::path& folder) {
    ScriptedHttpServer::TlsFiles files{folder / "server.pem", folder / "server.key"};
    std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "
        "/CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        files.privateKey.string() + "' -out '" + files.certificate.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
    return files;
}

std::filesystem::path makeTemporaryFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

} // namespace quorlinth::testing
