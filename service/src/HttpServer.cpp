#include "HttpServer.h"

#include "ConnectionLimits.h"
#include "WorkQueue.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdio>
#include <deque>
#include <sstream>
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
constexpr auto kLingerTimeout = std::chrono::seconds(2);
constexpr auto kAcceptRetry = std::chrono::milliseconds(250);
constexpr uint32_t kHeaderLimit = 16 * 1024;
constexpr uint64_t kBodyLimit = 64 * 1024;
constexpr uint64_t kDiagnosticsBodyLimit = 2 * 1024 * 1024;
constexpr size_t kSignalMessageLimit = 71680;
constexpr size_t kSignalOutboxLimit = 512;
constexpr const char* kSignalPath = "/v1/signal";
constexpr const char* kDiagnosticsPath = "/v1/diagnostics";
constexpr std::string_view kDownloadPrefix = "/download/";
// Published files go out in pieces of this size, whatever their length.
constexpr size_t kDownloadChunk = 64 * 1024;
// Password hashing yields the CPU to the network threads: a flood of sign-ins, which keeps
// every core busy hashing, then still leaves health checks, signaling and the other
// endpoints their answers.
constexpr int kHashingNiceness = 19;

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

std::string peerAddressOf(tcp::socket& socket) {
    boost::system::error_code error;
    auto endpoint = socket.remote_endpoint(error);
    return error ? std::string("unknown") : endpoint.address().to_string();
}

// Behind a trusted proxy the client is the right-most X-Forwarded-For entry (the one the
// proxy added); anything left of it is the client's own claim.
std::string forwardedClient(std::string_view header) {
    std::string_view last =
        header.substr(header.rfind(',') == std::string_view::npos ? 0 : header.rfind(',') + 1);
    while (!last.empty() && last.front() == ' ')
        last.remove_prefix(1);
    while (!last.empty() && last.back() == ' ')
        last.remove_suffix(1);
    boost::system::error_code error;
    auto address = net::ip::make_address(std::string(last), error);
    return error ? std::string() : address.to_string();
}

// Runs a task on the worker pool every period; lives as long as the server.
class PeriodicTask {
public:
    PeriodicTask(net::io_context& io, WorkQueue& workers, std::chrono::seconds period,
                 std::function<void()> task)
        : timer(io), workers(workers), period(period), task(std::move(task)) {}

    void arm() {
        timer.expires_after(period);
        timer.async_wait([this](beast::error_code error) {
            if (error) return;
            workers.submit(task); // a saturated pool skips a round
            arm();
        });
    }

private:
    net::steady_timer timer;
    WorkQueue& workers;
    std::chrono::seconds period;
    std::function<void()> task;
};

size_t atLeastOne(int64_t value) {
    return size_t(std::max<int64_t>(value, 1));
}

} // namespace

struct HttpServer::Impl {
    Impl(ServiceContext& context, Router& router, std::vector<std::string> trustedProxies,
         std::optional<ReleaseFolder> releases)
        : context(context), router(router), releases(std::move(releases)),
          workers(atLeastOne(context.settings.workerThreads), atLeastOne(context.settings.workerQueue),
                  std::chrono::milliseconds(context.settings.workerQueueWaitMs)),
          hashing(atLeastOne(context.settings.hashThreads), atLeastOne(context.settings.hashQueue),
                  std::chrono::milliseconds(context.settings.hashQueueWaitMs), kHashingNiceness),
          limits({atLeastOne(context.settings.maxConnections),
                  atLeastOne(context.settings.maxConnectionsPerAddress),
                  uint64_t(context.settings.bodyBytesInFlight)},
                 std::move(trustedProxies)) {}

    ServiceContext& context;
    Router& router;
    const std::optional<ReleaseFolder> releases;
    net::io_context io;
    WorkQueue workers;
    WorkQueue hashing; // password hashing only, so that a flood of sign-ins delays nothing else
    ConnectionLimits limits;
    std::optional<ssl::context> tls;
    std::optional<tcp::acceptor> acceptor;
    net::steady_timer acceptRetry{io};
    bool outOfDescriptors = false; // logged once per shortage
    std::vector<std::unique_ptr<PeriodicTask>> tasks;

    void accept();
    void onAccepted(tcp::socket socket);
    void backOff(const beast::error_code& error);
    void refuse(tcp::socket socket);
    std::string clientAddress(const std::string& peer, std::string_view forwardedFor) const {
        if (!limits.isTrustedProxy(peer)) return peer;
        std::string client = forwardedClient(forwardedFor);
        return client.empty() ? peer : client;
    }
};

namespace {

using Response = http::response<http::string_body>;

template <class Body>
void describeFile(http::response<Body>& response, const ReleaseFile& file, bool keepAlive) {
    response.set(http::field::content_type, file.contentType());
    if (file.mustRevalidate()) response.set(http::field::cache_control, "no-cache");
    response.content_length(file.size());
    response.keep_alive(keepAlive);
}

// A published file on its way out: the serializer writes the header, then one chunk read
// from the file at a time.
struct Download {
    Download(ReleaseFile file, unsigned version, bool keepAlive)
        : file(std::move(file)), response(http::status::ok, version), chunk(kDownloadChunk) {
        describeFile(response, this->file, keepAlive);
    }

    ReleaseFile file;
    http::response<http::buffer_body> response;
    http::response_serializer<http::buffer_body> serializer{response};
    std::vector<char> chunk;
    uint64_t sent = 0;
};

Response makeResponse(const ApiResponse& api, unsigned version, bool keepAlive) {
    Response response{http::status(api.status), version};
    response.set(http::field::content_type, "application/json");
    response.set(http::field::cache_control, "no-store");
    if (!api.allow.empty()) response.set(http::field::allow, api.allow);
    if (api.retryAfter > 0) response.set(http::field::retry_after, std::to_string(api.retryAfter));
    response.body() = dumpJson(api.body);
    response.keep_alive(keepAlive);
    response.prepare_payload();
    return response;
}

// The signaling socket of one device after the upgrade. Outgoing frames queue on the
// connection's strand and are written one at a time; inbound frames are metered.
template <class Stream>
class SignalSession : public SignalPeer, public std::enable_shared_from_this<SignalSession<Stream>> {
public:
    SignalSession(ServiceContext& context, Stream&& stream, std::string deviceId,
                  std::shared_ptr<ConnectionLimits::Slot> slot)
        : context(context), socket(std::move(stream)), deviceId(std::move(deviceId)), slot(std::move(slot)),
          frames(double(context.settings.signalFramesPerSecond), double(context.settings.signalFrameBurst)),
          bytes(double(context.settings.signalBytesPerSecond), double(context.settings.signalByteBurst)) {}

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

    bool sendText(std::string text) override {
        size_t size = text.size();
        if (queuedFrames.load() >= kSignalOutboxLimit ||
            queuedBytes.load() + size > size_t(context.settings.signalOutboxBytes))
            return false;
        enqueue(std::move(text));
        return true;
    }

    void sendControl(std::string text) override { enqueue(std::move(text)); }

    void close() override {
        net::post(socket.get_executor(),
                  [self = this->shared_from_this()] { self->closeNow(websocket::close_code::normal); });
    }

    void closeForPolicy() override {
        net::post(socket.get_executor(),
                  [self = this->shared_from_this()] { self->closeNow(websocket::close_code::policy_error); });
    }

private:
    void read() {
        socket.async_read(buffer, [self = this->shared_from_this()](beast::error_code error, size_t size) {
            if (error) return self->context.hub.detach(self->connection);
            if (!self->closing && !self->withinInboundLimits(size))
                self->closeNow(websocket::close_code::policy_error);
            // Only text frames carry messages; binary ones are ignored.
            if (!self->closing && self->socket.got_text())
                self->context.hub.receive(self->connection, beast::buffers_to_string(self->buffer.data()));
            self->buffer.consume(self->buffer.size());
            self->read(); // after a close, ends with an error that detaches the socket
        });
    }

    void enqueue(std::string text) {
        queuedFrames += 1;
        queuedBytes += text.size();
        net::post(socket.get_executor(), [self = this->shared_from_this(), text = std::move(text)]() mutable {
            if (self->closing) return self->unqueue(text.size());
            self->outbox.push_back(std::move(text));
            if (self->outbox.size() == 1) self->writeNext();
        });
    }

    bool withinInboundLimits(size_t size) {
        auto now = std::chrono::steady_clock::now();
        return frames.take(1, now) && bytes.take(double(size), now);
    }

    void writeNext() {
        socket.text(true);
        socket.async_write(net::buffer(outbox.front()),
                           [self = this->shared_from_this()](beast::error_code error, size_t) {
                               self->unqueue(self->outbox.front().size());
                               self->outbox.pop_front();
                               if (error || self->closing) return self->dropOutbox();
                               if (!self->outbox.empty()) self->writeNext();
                           });
    }

    void unqueue(size_t size) {
        queuedFrames -= 1;
        queuedBytes -= size;
    }

    void dropOutbox() {
        for (const auto& text : outbox)
            unqueue(text.size());
        outbox.clear();
    }

    void closeNow(websocket::close_code code) {
        if (closing) return;
        closing = true;
        // The frame being written stays until its write completes.
        while (outbox.size() > 1) {
            unqueue(outbox.back().size());
            outbox.pop_back();
        }
        socket.async_close(code, [self = this->shared_from_this()](beast::error_code) {});
    }

    // Allows `rate` units a second with bursts of up to `burst`.
    struct TokenBucket {
        TokenBucket(double rate, double burst) : rate(rate), burst(burst), tokens(burst) {}
        bool take(double amount, std::chrono::steady_clock::time_point now) {
            double elapsed = std::chrono::duration<double>(now - last).count();
            last = now;
            tokens = std::min(burst, tokens + elapsed * rate);
            if (tokens < amount) return false;
            tokens -= amount;
            return true;
        }
        double rate, burst, tokens;
        std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    };

    ServiceContext& context;
    websocket::stream<Stream> socket;
    std::string deviceId;
    std::shared_ptr<ConnectionLimits::Slot> slot;
    uint64_t connection = 0;
    beast::flat_buffer buffer;
    std::deque<std::string> outbox;
    std::atomic<size_t> queuedFrames{0}, queuedBytes{0}; // read by the hub on other threads
    TokenBucket frames, bytes;
    bool closing = false;
};

// One HTTP connection: reads requests one after another, hands each to its lane and writes
// its answer; an upgrade to /v1/signal turns the connection into a SignalSession.
template <class Stream> class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(HttpServer::Impl& server, Stream&& stream, std::shared_ptr<ConnectionLimits::Slot> slot,
                std::string peer)
        : server(server), stream(std::move(stream)), slot(std::move(slot)), peer(std::move(peer)) {}

    ~HttpSession() { releaseBody(); }

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
        client = server.clientAddress(peer, std::string(request["X-Forwarded-For"]));
        uint64_t limit = path == kDiagnosticsPath ? kDiagnosticsBodyLimit : kBodyLimit;
        auto length = parser->content_length();
        if (length && *length > limit) return answerAndClose(errorResponse(413, "body_too_large"));
        parser->body_limit(limit);
        if (parser->is_done()) return onRequest();
        // The large body of an upload is read only for a signed-in account.
        if (path == kDiagnosticsPath) return authorizeBody();
        admitBody();
    }

    // A body is held in memory until its request is answered: its bytes are reserved first.
    void admitBody() {
        auto length = parser->content_length();
        uint64_t reserve = length                                               ? *length
                           : pathOf(parser->get().target()) == kDiagnosticsPath ? kDiagnosticsBodyLimit
                                                                                : kBodyLimit;
        if (!server.limits.reserveBody(reserve))
            return answerAndClose(busyResponse(server.context.settings.retryAfter));
        reservedBody = reserve;
        continueBody();
    }

    void authorizeBody() {
        ApiRequest probe;
        probe.authorization = std::string(parser->get()[http::field::authorization]);
        auto self = this->shared_from_this();
        auto answer = [self](std::optional<ApiResponse> refusal) {
            net::post(self->stream.get_executor(), [self, refusal = std::move(refusal)] {
                if (refusal) return self->answerAndClose(*refusal);
                self->admitBody();
            });
        };
        bool queued = server.workers.submit(
            [self, probe, answer] {
                try {
                    self->server.context.tokens.requireAccount(probe);
                    answer(std::nullopt);
                } catch (const ApiFailure& failure) {
                    answer(errorResponse(failure.status, failure.code, failure.extra));
                } catch (const DatabaseUnavailable&) {
                    answer(busyResponse(self->server.context.settings.retryAfter));
                } catch (const std::exception&) {
                    answer(errorResponse(500, "internal_error"));
                }
            },
            [self, answer] { answer(busyResponse(self->server.context.settings.retryAfter)); });
        if (!queued) answerAndClose(busyResponse(server.context.settings.retryAfter));
    }

    void continueBody() {
        if (beast::iequals(parser->get()[http::field::expect], "100-continue")) return sendContinue();
        readBody();
    }

    // Clients that wait for permission before sending a body get it once the body is welcome.
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
        if (error == http::error::body_limit) return answerAndClose(errorResponse(413, "body_too_large"));
        if (error == http::error::header_limit) return answerAndClose(errorResponse(431, "header_too_large"));
        if (error.category() == http::make_error_code(http::error::bad_target).category() &&
            error != http::error::end_of_stream)
            return answerAndClose(errorResponse(400, "bad_request"));
        shutdown();
    }

    void answerAndClose(const ApiResponse& response) {
        std::string method =
            parser && parser->is_header_done() ? std::string(parser->get().method_string()) : "-";
        std::string path = parser && parser->is_header_done() ? pathOf(parser->get().target()) : "-";
        write(response, 11, false, method, path);
    }

    void onRequest() {
        auto request = parser->release();
        std::string path = pathOf(request.target());
        if (websocket::is_upgrade(request)) return upgrade(std::move(request), path);
        if (path.rfind(kDownloadPrefix, 0) == 0 &&
            (request.method() == http::verb::get || request.method() == http::verb::head))
            return serveRelease(request, path);
        ApiRequest api;
        api.method = std::string(request.method_string());
        api.path = path;
        api.authorization = std::string(request[http::field::authorization]);
        api.body = std::move(request.body());
        api.peerAddress = client;
        bool keepAlive = request.keep_alive();
        unsigned version = request.version();
        if (path == kSignalPath && api.method == "GET")
            return write(errorResponse(426, "upgrade_required"), version, keepAlive, api.method, path);
        Router::Lane lane = server.router.laneOf(api.method, path);
        if (lane == Router::Lane::network)
            return write(server.router.handle(api), version, keepAlive, api.method, path);
        beast::get_lowest_layer(stream).expires_never();
        auto self = this->shared_from_this();
        auto answer = [self, keepAlive, version, method = api.method, path](ApiResponse response) {
            net::post(self->stream.get_executor(),
                      [self, response = std::move(response), keepAlive, version, method, path] {
                          self->write(response, version, keepAlive, method, path);
                      });
        };
        int64_t retryAfter = server.context.settings.retryAfter;
        std::string method = api.method;
        WorkQueue& pool = lane == Router::Lane::hashing ? server.hashing : server.workers;
        bool queued =
            pool.submit([self, api = std::move(api), answer] { answer(self->server.router.handle(api)); },
                        [answer, retryAfter] { answer(busyResponse(retryAfter)); });
        if (!queued) refuseAfterPause(busyResponse(retryAfter), version, keepAlive, method, path);
    }

    // A full queue means the requests already waiting need every CPU cycle. A flood that
    // retries the moment it is refused would otherwise turn those cycles into refusals, and
    // every other client, health checks included, would wait its turn behind them. Held
    // back, each refusal costs a connection slot (capped per address) and a timer; an honest
    // client was told to wait longer than this anyway.
    void refuseAfterPause(const ApiResponse& response, unsigned version, bool keepAlive,
                          const std::string& method, const std::string& path) {
        releaseBody();
        pause.emplace(stream.get_executor());
        pause->expires_after(std::chrono::milliseconds(server.context.settings.busyAnswerDelayMs));
        pause->async_wait(
            [self = this->shared_from_this(), response, version, keepAlive, method, path](beast::error_code) {
                self->write(response, version, keepAlive, method, path);
            });
    }

    // Published files are read a chunk at a time on this connection's strand: a large archive
    // never sits in memory whole, and a slow reader only holds its own connection.
    void serveRelease(const http::request<http::string_body>& request, const std::string& path) {
        std::string method(request.method_string());
        std::optional<ReleaseFile> file =
            server.releases ? server.releases->find(std::string_view(path).substr(kDownloadPrefix.size()))
                            : std::nullopt;
        if (!file)
            return write(errorResponse(404, "not_found"), request.version(), request.keep_alive(), method,
                         path);
        releaseBody();
        logRequest(method, path, 200, started);
        beast::get_lowest_layer(stream).expires_after(kReadTimeout);
        if (request.method() == http::verb::head) {
            auto response =
                std::make_shared<http::response<http::empty_body>>(http::status::ok, request.version());
            describeFile(*response, *file, request.keep_alive());
            return http::async_write(
                stream, *response,
                [self = this->shared_from_this(), response](beast::error_code error, size_t) {
                    if (!error) self->afterAnswer(response->keep_alive());
                });
        }
        download = std::make_unique<Download>(std::move(*file), request.version(), request.keep_alive());
        http::async_write_header(stream, download->serializer,
                                 [self = this->shared_from_this()](beast::error_code error, size_t) {
                                     if (!error) self->sendChunk();
                                 });
    }

    void sendChunk() {
        Download& out = *download;
        auto& body = out.response.body();
        uint64_t left = out.file.size() - out.sent;
        int64_t count =
            left == 0 ? 0
                      : out.file.readAt(out.sent, out.chunk.data(), std::min<uint64_t>(left, kDownloadChunk));
        if (left > 0 && count <= 0) {
            // Cut short under our feet: closing tells the client its copy is incomplete.
            std::fprintf(stderr, "cannot read a published file to its end\n");
            download.reset();
            return shutdown();
        }
        out.sent += uint64_t(count);
        body.data = count > 0 ? out.chunk.data() : nullptr;
        body.size = size_t(count);
        body.more = out.sent < out.file.size();
        beast::get_lowest_layer(stream).expires_after(kReadTimeout);
        http::async_write(stream, out.serializer,
                          [self = this->shared_from_this()](beast::error_code error, size_t) {
                              if (error == http::error::need_buffer) error = {};
                              if (error) return;
                              if (!self->download->serializer.is_done()) return self->sendChunk();
                              bool keepAlive = self->download->response.keep_alive();
                              self->download.reset();
                              self->afterAnswer(keepAlive);
                          });
    }

    void afterAnswer(bool keepAlive) {
        if (keepAlive)
            readHeader();
        else
            shutdown();
    }

    // The device token is looked up on the worker pool: SQLite never runs on a network thread.
    void upgrade(http::request<http::string_body> request, const std::string& path) {
        std::string method(request.method_string());
        if (path != kSignalPath)
            return write(errorResponse(404, "not_found"), request.version(), false, method, path);
        auto shared = std::make_shared<http::request<http::string_body>>(std::move(request));
        std::string bearer = TokenService::bearerToken(std::string((*shared)[http::field::authorization]));
        auto self = this->shared_from_this();
        auto answer = [self, shared](std::optional<DeviceIdentity> device, bool busy) {
            net::post(self->stream.get_executor(), [self, shared, device = std::move(device), busy] {
                self->finishUpgrade(std::move(*shared), device, busy);
            });
        };
        bool queued = server.workers.submit(
            [self, bearer, answer] {
                std::optional<DeviceIdentity> device;
                try {
                    device = self->server.context.tokens.findDevice(bearer);
                } catch (const DatabaseUnavailable&) {
                    // Busy, not unauthorized: the device keeps its token and tries again.
                    return answer(std::nullopt, true);
                } catch (const std::exception&) {
                }
                answer(device, false);
            },
            [answer] { answer(std::nullopt, true); });
        if (!queued) finishUpgrade(std::move(*shared), std::nullopt, true);
    }

    void finishUpgrade(http::request<http::string_body> request, const std::optional<DeviceIdentity>& device,
                       bool busy) {
        std::string method(request.method_string());
        unsigned version = request.version();
        if (busy)
            return write(busyResponse(server.context.settings.retryAfter), version, false, method,
                         kSignalPath);
        if (!device)
            return write(errorResponse(401, "unauthorized_device"), version, false, method, kSignalPath);
        if (std::string(request["X-Device-ID"]) != device->deviceId)
            return write(errorResponse(403, "forbidden"), version, false, method, kSignalPath);
        logRequest(method, kSignalPath, 101, started);
        releaseBody();
        auto session = std::make_shared<SignalSession<Stream>>(server.context, std::move(stream),
                                                               device->deviceId, slot);
        session->accept(std::move(request));
    }

    void write(const ApiResponse& api, unsigned version, bool keepAlive, const std::string& method,
               const std::string& path) {
        releaseBody();
        logRequest(method, path, api.status, started);
        auto response = std::make_shared<Response>(makeResponse(api, version, keepAlive));
        beast::get_lowest_layer(stream).expires_after(kReadTimeout);
        http::async_write(stream, *response,
                          [self = this->shared_from_this(), response](beast::error_code error, size_t) {
                              if (!error) self->afterAnswer(response->keep_alive());
                          });
    }

    void releaseBody() {
        if (reservedBody == 0) return;
        server.limits.releaseBody(reservedBody);
        reservedBody = 0;
    }

    void shutdown() {
        beast::error_code ignored;
        if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
            stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
            linger();
        } else {
            beast::get_lowest_layer(stream).expires_after(kHandshakeTimeout);
            stream.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
        }
    }

    // Reads and discards what the client still sends for a moment after the answer, so that
    // closing with unread bytes does not reset the connection before the client reads it.
    void linger() {
        if (!lingering) {
            lingering = true;
            beast::get_lowest_layer(stream).expires_after(kLingerTimeout);
        }
        auto scratch = std::make_shared<std::array<char, 4096>>();
        stream.async_read_some(net::buffer(*scratch),
                               [self = this->shared_from_this(), scratch](beast::error_code error, size_t) {
                                   if (!error) self->linger();
                               });
    }

    HttpServer::Impl& server;
    Stream stream;
    std::shared_ptr<ConnectionLimits::Slot> slot;
    std::string peer;
    std::string client;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    std::unique_ptr<Download> download;
    std::optional<net::steady_timer> pause;
    uint64_t reservedBody = 0;
    bool lingering = false;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};

} // namespace

void HttpServer::Impl::accept() {
    acceptor->async_accept(net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
        if (error == net::error::operation_aborted) return;
        if (error) return backOff(error);
        outOfDescriptors = false;
        onAccepted(std::move(socket));
        accept();
    });
}

// Out of descriptors (or another accept failure) the pending connection stays in the
// backlog: retrying at once would spin a core, so wait a little and say so once.
void HttpServer::Impl::backOff(const beast::error_code& error) {
    bool exhausted = error == net::error::no_descriptors || error.value() == ENFILE ||
                     error == net::error::no_buffer_space || error == net::error::no_memory;
    if (!exhausted) return accept();
    if (!outOfDescriptors)
        std::fprintf(stderr, "cannot accept connections: %s; retrying every %lld ms\n",
                     error.message().c_str(), static_cast<long long>(kAcceptRetry.count()));
    outOfDescriptors = true;
    acceptRetry.expires_after(kAcceptRetry);
    acceptRetry.async_wait([this](beast::error_code error) {
        if (!error) accept();
    });
}

void HttpServer::Impl::onAccepted(tcp::socket socket) {
    std::string peer = peerAddressOf(socket);
    auto slot = limits.admit(peer);
    if (!slot) return refuse(std::move(socket));
    beast::tcp_stream stream(std::move(socket));
    if (tls)
        std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
            *this, beast::ssl_stream<beast::tcp_stream>(std::move(stream), *tls), std::move(slot), peer)
            ->start();
    else
        std::make_shared<HttpSession<beast::tcp_stream>>(*this, std::move(stream), std::move(slot), peer)
            ->start();
}

// Over a connection cap: a plain connection is told why, a TLS one is simply closed.
void HttpServer::Impl::refuse(tcp::socket socket) {
    auto shared = std::make_shared<tcp::socket>(std::move(socket));
    if (tls) return;
    ApiResponse api = errorResponse(503, "too_many_connections");
    api.retryAfter = context.settings.retryAfter;
    auto text = std::make_shared<std::string>();
    std::ostringstream out;
    out << makeResponse(api, 11, false);
    *text = out.str();
    net::async_write(*shared, net::buffer(*text), [shared, text](beast::error_code, size_t) {
        beast::error_code ignored;
        shared->shutdown(tcp::socket::shutdown_both, ignored);
    });
}

HttpServer::HttpServer(ServiceContext& context, Router& router, std::vector<std::string> trustedProxies,
                       std::optional<ReleaseFolder> releases)
    : impl(std::make_unique<Impl>(context, router, std::move(trustedProxies), std::move(releases))) {}

HttpServer::~HttpServer() {
    stop();
    impl->hashing.stop();
    impl->workers.stop();
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
