#include "ServiceHarness.h"

#include "PostgresServer.h"

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace quorlinth::testing {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

Json HttpReply::json() const {
    auto parsed = parseJsonObject(body);
    return parsed ? *parsed : Json();
}

std::string HttpReply::error() const {
    return field::string(json(), "error", "");
}

BoundDevice bindDevice(HttpClient& client, const std::string& accountToken, const std::string& installation,
                       const std::string& name, const std::string& platform) {
    HttpReply reply = client.request("POST", "/v1/devices", accountToken,
                                     Json{{"installation_id", installation},
                                          {"name", name},
                                          {"platform", platform},
                                          {"kind", "computer"},
                                          {"version", "1.0.0"},
                                          {"multi_account", true}});
    Json body = reply.json();
    const Json* device = field::object(body, "device");
    return {device ? field::string(*device, "id", "") : "", field::string(body, "device_token", "")};
}

HttpReply sendHeartbeat(HttpClient& client, const BoundDevice& device, bool capture, bool input,
                        bool webrtc) {
    return client.request("POST", "/v1/devices/" + device.id + "/heartbeat", device.token,
                          Json{{"capture_ready", capture},
                               {"input_ready", input},
                               {"webrtc", webrtc},
                               {"usb_ready", false},
                               {"unattended", false},
                               {"kind", "computer"}});
}

namespace {

constexpr auto kTimeout = std::chrono::seconds(10);

template <class Stream>
HttpReply exchange(net::io_context& io, Stream& stream, http::request<http::string_body>& request) {
    HttpReply reply;
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::async_write(stream, request, [&](beast::error_code error, size_t) {
        if (error) return;
        http::async_read(stream, buffer, response, [&](beast::error_code error, size_t) {
            if (error) return;
            reply.status = int(response.result_int());
            reply.body = response.body();
            for (const auto& fieldEntry : response) {
                std::string name(fieldEntry.name_string());
                for (char& ch : name)
                    ch = char(std::tolower(ch));
                reply.headers[name] = std::string(fieldEntry.value());
            }
        });
    });
    io.run();
    return reply;
}

} // namespace

HttpReply HttpClient::request(const std::string& method, const std::string& path, const std::string& token,
                              const std::optional<Json>& body,
                              const std::map<std::string, std::string>& headers) {
    return requestText(method, path, token, body ? dumpJson(*body) : std::string(), headers);
}

HttpReply HttpClient::requestText(const std::string& method, const std::string& path,
                                  const std::string& token, const std::string& body,
                                  const std::map<std::string, std::string>& headers) {
    net::io_context io;
    http::request<http::string_body> request{http::string_to_verb(method), path, 11};
    request.set(http::field::host, "127.0.0.1");
    request.set(http::field::content_type, "application/json");
    if (!token.empty()) request.set(http::field::authorization, "Bearer " + token);
    for (const auto& [name, value] : headers)
        request.set(name, value);
    if (http::string_to_verb(method) == http::verb::unknown) request.method_string(method);
    request.body() = body;
    request.prepare_payload();
    tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), port);
    if (!caFile) {
        beast::tcp_stream stream(io);
        stream.expires_after(kTimeout);
        beast::error_code error;
        stream.socket().connect(endpoint, error);
        if (error) return {};
        return exchange(io, stream, request);
    }
    ssl::context context(ssl::context::tls_client);
    context.load_verify_file(caFile->string());
    context.set_verify_mode(ssl::verify_peer);
    beast::ssl_stream<beast::tcp_stream> stream(io, context);
    stream.set_verify_callback(ssl::host_name_verification("localhost"));
    beast::get_lowest_layer(stream).expires_after(kTimeout);
    beast::error_code error;
    beast::get_lowest_layer(stream).socket().connect(endpoint, error);
    if (error) return {};
    stream.handshake(ssl::stream_base::client, error);
    if (error) return {};
    return exchange(io, stream, request);
}

std::string HttpClient::rawExchange(const std::string& bytes, std::chrono::milliseconds wait) {
    net::io_context io;
    tcp::socket socket(io);
    beast::error_code error;
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), error);
    if (error) return {};
    net::write(socket, net::buffer(bytes), error);
    std::string received;
    std::array<char, 4096> chunk;
    std::function<void()> readMore = [&] {
        socket.async_read_some(net::buffer(chunk), [&](beast::error_code error, size_t count) {
            received.append(chunk.data(), count);
            if (!error) readMore();
        });
    };
    readMore();
    io.run_for(wait);
    return received;
}

std::vector<HttpReply> concurrently(int count, const std::function<HttpReply(int index)>& request) {
    std::vector<HttpReply> replies(static_cast<size_t>(count));
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([&, i] { replies[size_t(i)] = request(i); });
    for (auto& thread : threads)
        thread.join();
    return replies;
}

int countOf(const std::vector<HttpReply>& replies, int status, const std::string& error) {
    return int(std::count_if(replies.begin(), replies.end(), [&](const HttpReply& reply) {
        return reply.status == status && (error.empty() || reply.error() == error);
    }));
}

TunedService::TunedService(const TempDir& tempDir, const std::vector<std::string>& extraArguments,
                           bool development, const std::vector<std::string>& wrapper,
                           const std::string& databaseUrl)
    : dir(tempDir.path()) {
    std::vector<std::string> arguments = wrapper;
    arguments.insert(arguments.end(), {serviceBinary().string(), "--listen", "127.0.0.1:0"});
    if (databaseUrl.empty())
        arguments.insert(arguments.end(), {"--db", (dir / "service.sqlite").string()});
    else
        arguments.insert(arguments.end(),
                         {"--database", databaseUrl, "--secret-file", (dir / "service.key").string()});
    if (development) arguments.push_back("--dev");
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    process =
        std::make_unique<ChildProcess>(arguments, Environment{}, dir / "service.out", dir / "service.log");
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
         std::chrono::steady_clock::now() < deadline && process->running();
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        std::string output = process->outputText();
        size_t end = output.find('\n');
        if (end == std::string::npos) continue;
        std::string line = output.substr(0, end);
        auto colon = line.rfind(':');
        if (line.rfind("http", 0) == 0 && colon != std::string::npos)
            boundPort = uint16_t(std::stoi(line.substr(colon + 1)));
        return;
    }
}

std::string TunedService::logText() const {
    return readTextFile(dir / "service.log");
}

struct SignalClient::Impl {
    net::io_context io;
    websocket::stream<beast::tcp_stream> socket{io};
    beast::flat_buffer buffer;
    std::deque<std::string> outgoing;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::string> frames;
    bool closed = false;

    void readLoop() {
        socket.async_read(buffer, [this](beast::error_code error, size_t) {
            std::lock_guard lock(mutex);
            if (error) {
                closed = true;
                arrived.notify_all();
                return;
            }
            if (socket.got_text()) frames.push_back(beast::buffers_to_string(buffer.data()));
            buffer.consume(buffer.size());
            arrived.notify_all();
            readLoop();
        });
    }

    void writeNext() {
        socket.async_write(net::buffer(outgoing.front()), [this](beast::error_code error, size_t) {
            if (error) return;
            outgoing.pop_front();
            if (!outgoing.empty()) writeNext();
        });
    }
};

SignalClient::SignalClient(std::unique_ptr<Impl> impl) : impl(std::move(impl)) {}

std::unique_ptr<SignalClient> SignalClient::connect(uint16_t port, const std::string& deviceToken,
                                                    const std::string& deviceId) {
    auto impl = std::make_unique<Impl>();
    beast::error_code error;
    beast::get_lowest_layer(impl->socket)
        .socket()
        .connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), error);
    if (error) return nullptr;
    auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::client);
    timeouts.handshake_timeout = std::chrono::seconds(5);
    impl->socket.set_option(timeouts);
    impl->socket.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
        if (!deviceToken.empty()) request.set(http::field::authorization, "Bearer " + deviceToken);
        request.set("X-Device-ID", deviceId);
    }));
    impl->socket.handshake("127.0.0.1", "/v1/signal", error);
    if (error) return nullptr;
    impl->socket.text(true);
    impl->readLoop();
    auto* raw = impl.get();
    impl->thread = std::thread([raw] { raw->io.run(); });
    return std::unique_ptr<SignalClient>(new SignalClient(std::move(impl)));
}

SignalClient::~SignalClient() {
    close();
    impl->thread.join();
}

void SignalClient::send(const Json& message) {
    sendText(dumpJson(message));
}

void SignalClient::sendText(const std::string& text) {
    net::post(impl->io, [raw = impl.get(), text] {
        raw->outgoing.push_back(text);
        if (raw->outgoing.size() == 1) raw->writeNext();
    });
}

std::optional<Json> SignalClient::receive(std::chrono::milliseconds wait) {
    std::unique_lock lock(impl->mutex);
    impl->arrived.wait_for(lock, wait, [&] { return !impl->frames.empty() || impl->closed; });
    if (impl->frames.empty()) return std::nullopt;
    std::string text = std::move(impl->frames.front());
    impl->frames.pop_front();
    auto parsed = parseJsonObject(text);
    return parsed ? parsed : std::optional<Json>(Json(text));
}

std::optional<Json> SignalClient::receiveType(const std::string& type, std::chrono::milliseconds wait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        auto message = receive(left);
        if (!message) return std::nullopt;
        if (field::string(*message, "type", "") == type) return message;
    }
    return std::nullopt;
}

bool SignalClient::waitClosed(std::chrono::milliseconds wait) {
    std::unique_lock lock(impl->mutex);
    return impl->arrived.wait_for(lock, wait, [&] { return impl->closed; });
}

int SignalClient::closeCode() {
    std::lock_guard lock(impl->mutex);
    return impl->closed ? int(impl->socket.reason().code) : 0;
}

void SignalClient::close() {
    net::post(impl->io, [raw = impl.get()] {
        if (beast::get_lowest_layer(raw->socket).socket().is_open())
            raw->socket.async_close(websocket::close_code::normal, [raw](beast::error_code) {
                beast::error_code ignored;
                beast::get_lowest_layer(raw->socket).socket().close(ignored);
            });
    });
}

PostgresServer& sharedPostgres() {
    static PostgresServer server;
    return server;
}

} // namespace quorlinth::testing
