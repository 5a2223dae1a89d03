#include "HttpServer.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdio>
#include <deque>
#include <thread>

namespace quorlinth::service {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

namespace {

constexpr auto kReadTimeout = std::chrono::seconds(30);
constexpr auto kHandshakeTimeout = std::chrono::seconds(15);
constexpr uint32_t kHeaderLimit = 16 * 1024;
constexpr uint64_t kBodyLimit = 64 * 1024;
constexpr uint64_t kDiagnosticsBodyLimit = 2 * 1024 * 1024;
constexpr size_t kSignalMessageLimit = 71680;
constexpr size_t kSignalOutboxLimit = 512;
constexpr const char* kSignalPath = "/v1/signal";

// Paths can hold anything a client sends; the log gets printable ASCII only.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 200))
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}

void logRequest(std::string_view method, std::string_view path, int status,
                std::chrono::steady_clock::time_point started) {
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "%s %s %d %.1fms\n", printable(method).c_str(), printable(path).c_str(), status, ms);
}

std::string pathOf(beast::string_view target) {
    std::string text(target.data(), target.size());
    return text.substr(0, text.find('?'));
}

tcp::socket& socketOf(beast::tcp_stream& stream) {
    return stream.socket();
}
tcp::socket& socketOf(beast::ssl_stream<beast::tcp_stream>& stream) {
    return beast::get_lowest_layer(stream).socket();
}

std::string peerAddressOf(tcp::socket& socket) {
    boost::system::error_code error;
    auto endpoint = socket.remote_endpoint(error);
    return error ? std::string() : endpoint.address().to_string();
}

// Runs a task on the worker pool every period; lives as long as the server.
class PeriodicTask {
public:
    PeriodicTask(net::io_context& io, net::thread_pool& workers, std::chrono::seconds period,
                 std::function<void()> task)
        : timer(io), workers(workers), period(period), task(std::move(task)) {}

    void arm() {
        timer.expires_after(period);
        timer.async_wait([this](beast::error_code error) {
            if (error) return;
            net::post(workers, task);
            arm();
        });
    }

private:
    net::steady_timer timer;
    net::thread_pool& workers;
    std::chrono::seconds period;
    std::function<void()> task;
};

} // namespace

struct HttpServer::Impl {
    Impl(ServiceContext& context, Router& router) : context(context), router(router) {}

    ServiceContext& context;
    Router& router;
    net::io_context io;
    net::thread_pool workers{4};
    std::optional<ssl::context> tls;
    std::optional<tcp::acceptor> acceptor;
    std::vector<std::unique_ptr<PeriodicTask>> tasks;
    void accept();
};

namespace {

using Response = http::response<http::string_body>;

Response makeResponse(const ApiResponse& api, unsigned version, bool keepAlive) {
    Response response{http::status(api.status), version};
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    if (!api.allow.empty()) response.set(http::field::allow, api.allow);
    response.body() = dumpJson(api.body);
    response.keep_alive(keepAlive);
    response.prepare_payload();
    return response;
}

// One HTTP connection: reads requests one after another, hands each to the worker pool and
// writes its answer; an upgrade to /v1/signal turns the connection into a SignalSession.
template <class Stream> class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(HttpServer::Impl& server, Stream&& stream) : server(server), stream(std::move(stream)) {}

    void start() {
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            readHeader();
        } else {
            beast::get_lowest_layer(stream).expires_after(kHandshakeTimeout);
            stream.async_handshake(ssl::stream_base::server,
                                   [self = this->shared_from_this()](beast::error_code error) {
                                       if (!error) self->readHeader();
                                   });
        }
    }

private:
    void readHeader() {
        parser.emplace();
        parser->header_limit(kHeaderLimit);
        // The largest limit while the header is read (it checks Content-Length against it);
        // narrowed per path once the path is known.
        parser->body_limit(kDiagnosticsBodyLimit);
        beast::get_lowest_layer(stream).expires_after(kReadTimeout);
        http::async_read_header(
            stream, buffer, *parser,
            [self = this->shared_from_this()](beast::error_code error, size_t) { self->onHeader(error); });
    }

    void onHeader(beast::error_code error) {
        started = std::chrono::steady_clock::now();
        if (error) return onReadError(error);
        auto& request = parser->get();
        std::string path = pathOf(request.target());
        if (path != "/v1/diagnostics") {
            auto length = parser->content_length();
            if (length && *length > kBodyLimit) return answerAndClose(413, "body_too_large");
            parser->body_limit(kBodyLimit);
        }
        if (parser->is_done()) return onRequest();
        if (beast::iequals(request[http::field::expect], "100-continue")) return sendContinue();
        readBody();
    }

    // Clients that wait for permission before sending a body get it at once.
    void sendContinue() {
        auto interim = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
        http::async_write(stream, *interim,
                          [self = this->shared_from_this(), interim](beast::error_code error, size_t) {
                              if (error) return;
                              self->readBody();
                          });
    }

    void readBody() {
        http::async_read(stream, buffer, *parser,
                         [self = this->shared_from_this()](beast::error_code error, size_t) {
                             if (error) return self->onReadError(error);
                             self->onRequest();
                         });
    }

    void onReadError(beast::error_code error) {
        if (error == http::error::body_limit) return answerAndClose(413, "body_too_large");
        if (error == http::error::header_limit) return answerAndClose(431, "header_too_large");
        if (error.category() == http::make_error_code(http::error::bad_target).category() &&
            error != http::error::end_of_stream)
            return answerAndClose(400, "bad_request");
        shutdown();
    }

    void answerAndClose(int status, const char* code) {
        std::string method =
            parser && parser->is_header_done() ? std::string(parser->get().method_string()) : "-";
        std::string path = parser && parser->is_header_done() ? pathOf(parser->get().target()) : "-";
        write(errorResponse(status, code), 11, false, method, path);
    }

    void onRequest() {
        auto request = parser->release();
        std::string path = pathOf(request.target());
        if (websocket::is_upgrade(request)) return upgrade(std::move(request), path);
        ApiRequest api;
        api.method = std::string(request.method_string());
        api.path = path;
        api.authorization = std::string(request[http::field::authorization]);
        api.body = std::move(request.body());
        api.peerAddress = peerAddressOf(socketOf(stream));
        if (path == kSignalPath && api.method == "GET") {
            write(errorResponse(426, "upgrade_required"), request.version(), request.keep_alive(), api.method,
                  path);
            return;
        }
        bool keepAlive = request.keep_alive();
        unsigned version = request.version();
        beast::get_lowest_layer(stream).expires_never();
        net::post(
            server.workers, [self = this->shared_from_this(), api = std::move(api), keepAlive, version] {
                ApiResponse response = self->server.router.handle(api);
                net::post(self->stream.get_executor(),
                          [self, response = std::move(response), keepAlive, version, method = api.method,
                           path = api.path] { self->write(response, version, keepAlive, method, path); });
            });
    }

    void upgrade(http::request<http::string_body> request, const std::string& path);

    void write(const ApiResponse& api, unsigned version, bool keepAlive, const std::string& method,
               const std::string& path) {
        logRequest(method, path, api.status, started);
        auto response = std::make_shared<Response>(makeResponse(api, version, keepAlive));
        beast::get_lowest_layer(stream).expires_after(kReadTimeout);
        http::async_write(stream, *response,
                          [self = this->shared_from_this(), response](beast::error_code error, size_t) {
                              if (error) return;
                              if (response->keep_alive())
                                  self->readHeader();
                              else
                                  self->shutdown();
                          });
    }

    void shutdown() {
        beast::error_code ignored;
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        } else {
            beast::get_lowest_layer(stream).expires_after(kHandshakeTimeout);
            stream.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
        }
    }

    HttpServer::Impl& server;
    Stream stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

// The signaling socket of one device after the upgrade. Outgoing frames queue on the
// connection's strand and are written one at a time.
template <class Stream>
class SignalSession : public SignalPeer, public std::enable_shared_from_this<SignalSession<Stream>> {
public:
    SignalSession(ServiceContext& context, Stream&& stream, std::string deviceId)
        : context(context), socket(std::move(stream)), deviceId(std::move(deviceId)) {}

    void accept(http::request<http::string_body> request) {
        beast::get_lowest_layer(socket).expires_never();
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = std::chrono::seconds(60);
        timeouts.keep_alive_pings = true;
        socket.set_option(timeouts);
        socket.read_message_max(kSignalMessageLimit);
        socket.async_accept(request, [self = this->shared_from_this()](beast::error_code error) {
            if (error) return;
            self->connection = self->context.hub.attach(self->deviceId, self);
            self->read();
        });
    }

    void sendText(std::string text) override {
        net::post(socket.get_executor(), [self = this->shared_from_this(), text = std::move(text)]() mutable {
            if (self->closing) return;
            if (self->outbox.size() >= kSignalOutboxLimit) return self->closeNow();
            self->outbox.push_back(std::move(text));
            if (self->outbox.size() == 1) self->writeNext();
        });
    }

    void close() override {
        net::post(socket.get_executor(), [self = this->shared_from_this()] { self->closeNow(); });
    }

private:
    void read() {
        socket.async_read(buffer, [self = this->shared_from_this()](beast::error_code error, size_t) {
            if (error) return self->context.hub.detach(self->connection);
            // Only text frames carry messages; binary ones are ignored.
            if (self->socket.got_text())
                self->context.hub.receive(self->connection, beast::buffers_to_string(self->buffer.data()));
            self->buffer.consume(self->buffer.size());
            self->read();
        });
    }

    void writeNext() {
        socket.text(true);
        socket.async_write(net::buffer(outbox.front()),
                           [self = this->shared_from_this()](beast::error_code error, size_t) {
                               if (error) return;
                               self->outbox.pop_front();
                               if (!self->outbox.empty() && !self->closing) self->writeNext();
                           });
    }

    void closeNow() {
        if (closing) return;
        closing = true;
        outbox.clear();
        socket.async_close(websocket::close_code::normal,
                           [self = this->shared_from_this()](beast::error_code) {});
    }

    ServiceContext& context;
    websocket::stream<Stream> socket;
    std::string deviceId;
    uint64_t connection = 0;
    beast::flat_buffer buffer;
    std::deque<std::string> outbox;
    bool closing = false;
};

template <class Stream>
void HttpSession<Stream>::upgrade(http::request<http::string_body> request, const std::string& path) {
    std::string method(request.method_string());
    if (path != kSignalPath) {
        write(errorResponse(404, "not_found"), request.version(), false, method, path);
        return;
    }
    auto device = server.context.tokens.findDevice(
        TokenService::bearerToken(std::string(request[http::field::authorization])));
    if (!device) {
        write(errorResponse(401, "unauthorized_device"), request.version(), false, method, path);
        return;
    }
    if (std::string(request["X-Device-ID"]) != device->deviceId) {
        write(errorResponse(403, "forbidden"), request.version(), false, method, path);
        return;
    }
    logRequest(method, path, 101, started);
    auto session =
        std::make_shared<SignalSession<Stream>>(server.context, std::move(stream), device->deviceId);
    session->accept(std::move(request));
}

} // namespace

void HttpServer::Impl::accept() {
    acceptor->async_accept(net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted) return;
        if (!error) {
            beast::tcp_stream stream(std::move(socket));
            if (tls)
                std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
                    *this, beast::ssl_stream<beast::tcp_stream>(std::move(stream), *tls))
                    ->start();
            else
                std::make_shared<HttpSession<beast::tcp_stream>>(*this, std::move(stream))->start();
        }
        accept();
    });
}

HttpServer::HttpServer(ServiceContext& context, Router& router)
    : impl(std::make_unique<Impl>(context, router)) {}

HttpServer::~HttpServer() {
    stop();
    impl->workers.join();
    // The hub holds the signaling sockets, which must go before the I/O context they use.
    impl->context.hub.clear();
}

Result<std::string> HttpServer::listen(const ListenAddress& address,
                                       const std::optional<TlsFiles>& tlsFiles) {
    boost::system::error_code error;
    auto ip = net::ip::make_address(address.host, error);
    if (error) return Error{"invalid listen address " + address.host};
    if (tlsFiles) {
        impl->tls.emplace(ssl::context::tls_server);
        impl->tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                               ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
        impl->tls->use_certificate_chain_file(tlsFiles->certificateChain.string(), error);
        if (error)
            return Error{"cannot load certificate " + tlsFiles->certificateChain.string() + ": " +
                         error.message()};
        impl->tls->use_private_key_file(tlsFiles->privateKey.string(), ssl::context::pem, error);
        if (error)
            return Error{"cannot load private key " + tlsFiles->privateKey.string() + ": " + error.message()};
    }
    tcp::endpoint endpoint(ip, address.port);
    impl->acceptor.emplace(impl->io);
    impl->acceptor->open(endpoint.protocol(), error);
    if (!error) impl->acceptor->set_option(net::socket_base::reuse_address(true), error);
    if (!error) impl->acceptor->bind(endpoint, error);
    if (!error) impl->acceptor->listen(net::socket_base::max_listen_connections, error);
    if (error)
        return Error{"cannot listen on " + address.host + ":" + std::to_string(address.port) + ": " +
                     error.message()};
    impl->accept();
    auto bound = impl->acceptor->local_endpoint();
    std::string host =
        bound.address().is_v6() ? "[" + bound.address().to_string() + "]" : bound.address().to_string();
    return std::string(tlsFiles ? "https://" : "http://") + host + ":" + std::to_string(bound.port());
}

void HttpServer::every(std::chrono::seconds period, std::function<void()> task) {
    impl->tasks.push_back(std::make_unique<PeriodicTask>(impl->io, impl->workers, period, std::move(task)));
    impl->tasks.back()->arm();
}

void HttpServer::run() {
    net::signal_set signals(impl->io, SIGINT, SIGTERM);
    signals.async_wait([this](beast::error_code, int) { stop(); });
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([this] { impl->io.run(); });
    for (auto& thread : threads)
        thread.join();
}

void HttpServer::stop() {
    impl->io.stop();
}

} // namespace quorlinth::service
