#include "net/WebSocketClient.h"

#include "net/Connect.h"
#include "net/IoThread.h"
#include "net/TlsContext.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>

namespace quorlinth::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;

namespace {

// One io thread serves every WebSocket of the process. It lives until exit, so a
// connection may be released from one of its own callbacks.
IoThread& sharedIoThread() {
    static IoThread* io = new IoThread("quorlinth.ws");
    return *io;
}

WebSocketFailure failureFrom(const error_code& ec, std::optional<uint16_t> closeCode) {
    WebSocketFailure failure;
    failure.domain = ec.category().name();
    failure.code = ec.value();
    failure.closeCode = closeCode;
    failure.tooLarge = ec == websocket::error::message_too_big;
    failure.description = describeNetError(NetStage::exchange, ec);
    return failure;
}

} // namespace

struct WebSocketClient::Connection {
    virtual ~Connection() = default;
    virtual void start(Url url, HttpHeaders headers) = 0;
    virtual void sendText(std::string text, std::function<void(Result<void>)> done) = 0;
    virtual void ping(std::function<void(Result<void>)> pong) = 0;
    virtual void close(uint16_t code) = 0;
};

namespace {

// Keeps the TLS context alive as long as the stream that uses it.
struct TlsContextHolder {
    std::shared_ptr<asio::ssl::context> tls;
};

template <class Stream>
class Session final : TlsContextHolder,
                      public WebSocketClient::Connection,
                      public std::enable_shared_from_this<Session<Stream>> {
public:
    Session(WebSocketClient::Options options,
            WebSocketClient::Events events) requires std::is_same_v<Stream, TcpStream>
        : options(std::move(options)),
          events(std::move(events)),
          ws(sharedIoThread().context().get_executor()) {}

    Session(WebSocketClient::Options options, WebSocketClient::Events events,
            std::shared_ptr<asio::ssl::context> context) requires std::is_same_v<Stream, TlsStream>
        : TlsContextHolder{std::move(context)},
          options(std::move(options)),
          events(std::move(events)),
          ws(sharedIoThread().context().get_executor(), *tls) {}

    void start(Url url, HttpHeaders headers) override {
        asio::co_spawn(ws.get_executor(), run(this->shared_from_this(), std::move(url), std::move(headers)),
                       asio::detached);
    }

    void sendText(std::string text, std::function<void(Result<void>)> done) override {
        enqueue({Outgoing::text, std::move(text), std::move(done)});
    }

    void ping(std::function<void(Result<void>)> pong) override {
        enqueue({Outgoing::ping, "", std::move(pong)});
    }

    // Writes already queued still go out (a final "end" message, say), then the close frame.
    void close(uint16_t code) override {
        asio::post(ws.get_executor(), [self = this->shared_from_this(), code] {
            if (self->closed || self->closeCode) return;
            self->closeCode = code;
            self->events = {}; // from here on nothing is reported
            self->pongs.clear();
            for (auto& item : self->outgoing)
                item.done = nullptr;
            if (!self->open) {
                self->closed = true;
                beast::get_lowest_layer(self->ws).close();
                return;
            }
            if (!self->writing) self->sendCloseFrame();
        });
    }

private:
    struct Outgoing {
        enum Kind { text, ping } kind;
        std::string payload;
        std::function<void(Result<void>)> done;
    };

    static asio::awaitable<void> run(std::shared_ptr<Session> self, Url url, HttpHeaders headers) {
        auto result = co_await self->openSocket(url, headers);
        if (self->closed) co_return;
        if (!result) {
            self->closed = true;
            if (self->events.onFailure) self->events.onFailure(self->handshakeFailure);
            self->failPending("连接未建立");
            co_return;
        }
        self->open = true;
        if (self->events.onOpen) self->events.onOpen();
        self->startWriting();
        co_await self->receiveLoop();
    }

    asio::awaitable<Result<void>> openSocket(const Url& url, const HttpHeaders& headers) {
        auto deadline = Clock::now() + options.handshakeTimeout;
        auto connected = co_await connectTcp(beast::get_lowest_layer(ws), url, deadline);
        if (!connected) co_return fail(connected.error());
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            auto secured = co_await handshakeTls(ws.next_layer(), url, deadline);
            if (!secured) co_return fail(secured.error());
        }
        ws.set_option(websocket::stream_base::decorator([headers](websocket::request_type& request) {
            for (const auto& [name, value] : headers)
                request.set(name, value);
        }));
        ws.read_message_max(options.maxMessageBytes);
        ws.auto_fragment(false);
        ws.control_callback([weak = this->weak_from_this()](websocket::frame_type kind, beast::string_view) {
            auto self = weak.lock();
            if (!self || kind != websocket::frame_type::pong || self->pongs.empty()) return;
            auto pong = std::move(self->pongs.front());
            self->pongs.pop_front();
            if (pong) pong(Result<void>{});
        });
        beast::get_lowest_layer(ws).expires_at(deadline);
        error_code ec;
        co_await ws.async_handshake(url.hostHeader(), url.target,
                                    asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return fail("WebSocket 握手失败。（" + ec.message() + "）", ec);
        // The socket then lives without a deadline; liveness is the owner's ping rule.
        beast::get_lowest_layer(ws).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(15);
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws.set_option(timeouts);
        co_return Result<void>{};
    }

    Error fail(std::string description, error_code ec = {}) {
        handshakeFailure = WebSocketFailure{description, ec ? ec.category().name() : "quorlinth.net",
                                            ec ? ec.value() : -1, std::nullopt, false};
        return Error{std::move(description)};
    }

    asio::awaitable<void> receiveLoop() {
        auto self = this->shared_from_this();
        for (;;) {
            beast::flat_buffer buffer;
            error_code ec;
            co_await ws.async_read(buffer, asio::redirect_error(asio::use_awaitable, ec));
            if (closed) co_return;
            if (ec) {
                std::optional<uint16_t> peerCloseCode;
                if (ec == websocket::error::closed) peerCloseCode = ws.reason().code;
                closed = true;
                open = false;
                beast::get_lowest_layer(ws).close();
                if (events.onFailure) events.onFailure(failureFrom(ec, peerCloseCode));
                failPending("连接已断开");
                co_return;
            }
            if (ws.got_text()) {
                if (events.onText) events.onText(beast::buffers_to_string(buffer.data()));
            } else if (events.onBinary) {
                events.onBinary(buffer.size());
            }
        }
    }

    void enqueue(Outgoing item) {
        asio::post(ws.get_executor(), [self = this->shared_from_this(), item = std::move(item)]() mutable {
            // The owner closed it or already heard of the failure.
            if (self->closed || self->closeCode) return;
            self->outgoing.push_back(std::move(item));
            if (self->open) self->startWriting();
        });
    }

    void startWriting() {
        if (writing || outgoing.empty()) return;
        writing = true;
        asio::co_spawn(ws.get_executor(), writeLoop(this->shared_from_this()), asio::detached);
    }

    void sendCloseFrame() {
        closed = true;
        open = false;
        outgoing.clear();
        ws.async_close(websocket::close_reason(*closeCode),
                       [self = this->shared_from_this()](const error_code&) {
                           beast::get_lowest_layer(self->ws).close();
                       });
    }

    static asio::awaitable<void> writeLoop(std::shared_ptr<Session> self) {
        while (!self->outgoing.empty() && self->open && !self->closed) {
            Outgoing item = std::move(self->outgoing.front());
            self->outgoing.pop_front();
            error_code ec;
            if (item.kind == Outgoing::text) {
                self->ws.text(true);
                co_await self->ws.async_write(asio::buffer(item.payload),
                                              asio::redirect_error(asio::use_awaitable, ec));
                if (self->closed) break;
                if (ec) {
                    // A broken connection: the receive side reports it first, then this write.
                    self->outgoing.push_front(std::move(item));
                    beast::get_lowest_layer(self->ws).close();
                    break;
                }
                if (item.done) item.done(Result<void>{});
            } else {
                self->pongs.push_back(item.done);
                co_await self->ws.async_ping({}, asio::redirect_error(asio::use_awaitable, ec));
                if (self->closed) break;
                if (ec && !self->pongs.empty()) {
                    auto pong = std::move(self->pongs.back());
                    self->pongs.pop_back();
                    if (pong) pong(Error{describeNetError(NetStage::exchange, ec)});
                }
            }
        }
        self->writing = false;
        if (self->closeCode && !self->closed) self->sendCloseFrame();
    }

    // After a failure has been reported, the completions still waiting learn that no answer
    // will come: an owner hears of the lost connection before any failed send.
    void failPending(const std::string& why) {
        auto waitingWrites = std::exchange(outgoing, {});
        auto waitingPongs = std::exchange(pongs, {});
        for (auto& item : waitingWrites)
            if (item.done) item.done(Error{why});
        for (auto& pong : waitingPongs)
            if (pong) pong(Error{why});
    }

    WebSocketClient::Options options;
    WebSocketClient::Events events;
    websocket::stream<Stream> ws;
    WebSocketFailure handshakeFailure;
    std::deque<Outgoing> outgoing;
    std::deque<std::function<void(Result<void>)>> pongs;
    bool open = false;                 // handshake done and not closed
    bool closed = false;               // the connection failed or the close frame went out
    std::optional<uint16_t> closeCode; // close() was asked for
    bool writing = false;
};

} // namespace

WebSocketClient::WebSocketClient(Options options) : options(std::move(options)) {}

WebSocketClient::~WebSocketClient() {
    if (connection) connection->close(1001);
}

void WebSocketClient::connect(const std::string& url, HttpHeaders headers, Events events) {
    auto parsed = Url::parse(url);
    if (!parsed || (parsed->scheme != "ws" && parsed->scheme != "wss")) {
        asio::post(sharedIoThread().context(), [events, url] {
            if (events.onFailure)
                events.onFailure({"WebSocket 地址无效：" + url, "quorlinth.net", -1, std::nullopt, false});
        });
        return;
    }
    if (parsed->secure()) {
        auto tls = makeClientTlsContext(options.extraCaFile);
        if (!tls) {
            asio::post(sharedIoThread().context(), [events, error = tls.error()] {
                if (events.onFailure) events.onFailure({error, "quorlinth.net", -1, std::nullopt, false});
            });
            return;
        }
        connection = std::make_shared<Session<TlsStream>>(options, std::move(events), tls.value());
    } else {
        connection = std::make_shared<Session<TcpStream>>(options, std::move(events));
    }
    connection->start(std::move(*parsed), std::move(headers));
}

void WebSocketClient::sendText(std::string text, std::function<void(Result<void>)> done) {
    if (connection) connection->sendText(std::move(text), std::move(done));
}

void WebSocketClient::ping(std::function<void(Result<void>)> pong) {
    if (connection) connection->ping(std::move(pong));
}

void WebSocketClient::close(uint16_t code) {
    if (connection) connection->close(code);
}

} // namespace quorlinth::net
