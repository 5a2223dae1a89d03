#include "net/WebSocketClient.h"

#include "base/MainQueue.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace quorlinth;
using namespace quorlinth::net;
using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// A one-connection WebSocket server on loopback run by a script of the test's choosing.
class ScriptedServer {
public:
    using Script = std::function<void(websocket::stream<tcp::socket>&)>;

    explicit ScriptedServer(Script script) : acceptor(io, {asio::ip::make_address("127.0.0.1"), 0}) {
        worker = std::thread([this, script = std::move(script)] {
            try {
                tcp::socket socket = acceptor.accept();
                websocket::stream<tcp::socket> ws(std::move(socket));
                websocket::request_type request;
                beast::flat_buffer buffer;
                beast::http::read(ws.next_layer(), buffer, request);
                {
                    std::lock_guard lock(mutex);
                    for (const auto& field : request)
                        headers[std::string(field.name_string())] = std::string(field.value());
                }
                ws.accept(request);
                script(ws);
            } catch (const std::exception&) {
                // The client went away; the test checks what it saw.
            }
        });
    }
    ~ScriptedServer() {
        acceptor.close();
        worker.join();
    }

    std::string url() const {
        return "ws://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + "/v1/signal";
    }
    std::string header(const std::string& name) {
        std::lock_guard lock(mutex);
        return headers[name];
    }

private:
    asio::io_context io;
    tcp::acceptor acceptor;
    std::thread worker;
    std::mutex mutex;
    std::map<std::string, std::string> headers;
};

// Collects client events on the test's run loop.
struct Observed {
    RunLoop loop;
    bool opened = false;
    std::vector<std::string> texts;
    std::vector<size_t> binaries;
    std::optional<WebSocketFailure> failure;

    WebSocketClient::Events events() {
        return {[this] { loop.post([this] { opened = true; }); },
                [this](std::string text) { loop.post([this, text] { texts.push_back(text); }); },
                [this](size_t bytes) { loop.post([this, bytes] { binaries.push_back(bytes); }); },
                [this](WebSocketFailure f) { loop.post([this, f] { failure = f; }); }};
    }
    bool waitFor(const std::function<bool()>& condition) { return loop.runUntil(condition, 10s); }
};

void echoUntilClosed(websocket::stream<tcp::socket>& ws) {
    for (;;) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        ws.text(ws.got_text());
        ws.write(buffer.data());
    }
}

} // namespace

TEST(WebSocketClient, SendsHeadersAndEchoesTextAndBinary) {
    ScriptedServer server([](auto& ws) {
        ws.text(false);
        ws.write(asio::buffer(std::string(10, 'b')));
        echoUntilClosed(ws);
    });
    Observed seen;
    WebSocketClient client({});
    client.connect(server.url(), {{"Authorization", "Bearer device-token"}, {"X-Device-ID", "D1"}},
                   seen.events());
    ASSERT_TRUE(seen.waitFor([&] { return seen.opened; }));
    client.sendText(R"({"type":"accept","session_id":"s1"})");
    client.sendText("second");
    ASSERT_TRUE(seen.waitFor([&] { return seen.texts.size() == 2; }));
    EXPECT_EQ(seen.texts[0], R"({"type":"accept","session_id":"s1"})");
    EXPECT_EQ(seen.texts[1], "second");
    EXPECT_EQ(seen.binaries, std::vector<size_t>{10});
    EXPECT_EQ(server.header("Authorization"), "Bearer device-token");
    EXPECT_EQ(server.header("X-Device-ID"), "D1");
    client.close(1000);
}

TEST(WebSocketClient, PingCompletesWhenThePongArrives) {
    ScriptedServer server(echoUntilClosed);
    Observed seen;
    WebSocketClient client({});
    client.connect(server.url(), {}, seen.events());
    ASSERT_TRUE(seen.waitFor([&] { return seen.opened; }));
    std::optional<bool> pong;
    client.ping([&](Result<void> result) { seen.loop.post([&, ok = result.ok()] { pong = ok; }); });
    ASSERT_TRUE(seen.waitFor([&] { return pong.has_value(); }));
    EXPECT_TRUE(*pong);
    client.close(1000);
}

TEST(WebSocketClient, MessageAboveTheLimitFailsTheReceive) {
    ScriptedServer server([](auto& ws) {
        ws.write(asio::buffer(std::string(71680, 'x'))); // exactly the limit: delivered
        ws.write(asio::buffer(std::string(71681, 'x'))); // one byte more: the receive fails
        beast::flat_buffer buffer;
        ws.read(buffer);
    });
    Observed seen;
    WebSocketClient client({});
    client.connect(server.url(), {}, seen.events());
    ASSERT_TRUE(seen.waitFor([&] { return seen.failure.has_value(); }));
    ASSERT_EQ(seen.texts.size(), 1u);
    EXPECT_EQ(seen.texts[0].size(), 71680u);
    EXPECT_TRUE(seen.failure->tooLarge);
}

TEST(WebSocketClient, ReportsThePeersCloseCode) {
    ScriptedServer server([](auto& ws) { ws.close(websocket::close_reason(4001)); });
    Observed seen;
    WebSocketClient client({});
    client.connect(server.url(), {}, seen.events());
    ASSERT_TRUE(seen.waitFor([&] { return seen.failure.has_value(); }));
    EXPECT_EQ(seen.failure->closeCode, 4001);
}

TEST(WebSocketClient, ReportsAFailedConnectionAndAnInvalidAddress) {
    Observed seen;
    uint16_t port;
    {
        asio::io_context io;
        tcp::acceptor closed(io, {asio::ip::make_address("127.0.0.1"), 0});
        port = closed.local_endpoint().port();
    }
    WebSocketClient refused({});
    refused.connect("ws://127.0.0.1:" + std::to_string(port) + "/v1/signal", {}, seen.events());
    ASSERT_TRUE(seen.waitFor([&] { return seen.failure.has_value(); }));
    EXPECT_FALSE(seen.opened);

    seen.failure.reset();
    WebSocketClient invalid({});
    invalid.connect("http://127.0.0.1/v1/signal", {}, seen.events());
    ASSERT_TRUE(seen.waitFor([&] { return seen.failure.has_value(); }));
    EXPECT_NE(seen.failure->description.find("地址无效"), std::string::npos);
}

TEST(WebSocketClient, CloseSendsQueuedWritesThenTheCloseFrame) {
    std::promise<std::pair<std::string, int>> seenByServer;
    ScriptedServer server([&](auto& ws) {
        beast::flat_buffer buffer;
        ws.read(buffer);
        std::string last = beast::buffers_to_string(buffer.data());
        beast::flat_buffer rest;
        beast::error_code ec;
        ws.read(rest, ec);
        seenByServer.set_value({last, ws.reason().code});
    });
    Observed seen;
    WebSocketClient client({});
    client.connect(server.url(), {}, seen.events());
    ASSERT_TRUE(seen.waitFor([&] { return seen.opened; }));
    client.sendText(R"({"type":"end","session_id":"s1"})");
    client.close(1000);
    auto future = seenByServer.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    auto [last, code] = future.get();
    EXPECT_EQ(last, R"({"type":"end","session_id":"s1"})");
    EXPECT_EQ(code, 1000);
}

TEST(WebSocketClient, NothingIsReportedAfterClose) {
    std::promise<void> serverDone;
    ScriptedServer server([&](auto& ws) {
        try {
            echoUntilClosed(ws);
        } catch (...) {
            serverDone.set_value();
            throw;
        }
    });
    Observed seen;
    WebSocketClient client({});
    client.connect(server.url(), {}, seen.events());
    ASSERT_TRUE(seen.waitFor([&] { return seen.opened; }));
    bool completed = false;
    client.close(1000);
    client.sendText("late", [&](Result<void>) { completed = true; });
    EXPECT_EQ(serverDone.get_future().wait_for(10s), std::future_status::ready);
    seen.loop.runFor(50ms);
    EXPECT_FALSE(seen.failure);
    EXPECT_FALSE(completed);
}

// An owner that hears of a failed send before the lost connection tells the person the wrong
// thing: the failure comes first, then the writes that were still waiting.
TEST(WebSocketClient, ReportsTheFailureBeforeTheWritesStillWaiting) {
    asio::io_context io;
    tcp::acceptor silent(io, {asio::ip::make_address("127.0.0.1"), 0}); // listens, never answers
    RunLoop loop;
    std::vector<std::string> order;
    WebSocketClient::Options options;
    options.handshakeTimeout = 500ms;
    WebSocketClient client(options);
    WebSocketClient::Events events;
    events.onFailure = [&](WebSocketFailure) { loop.post([&] { order.push_back("failure"); }); };
    client.connect("ws://127.0.0.1:" + std::to_string(silent.local_endpoint().port()) + "/v1/signal", {},
                   events);
    client.sendText("waiting", [&](Result<void> result) {
        loop.post([&, ok = result.ok()] { order.push_back(ok ? "written" : "write failed"); });
    });
    ASSERT_TRUE(loop.runUntil([&] { return order.size() == 2; }, 10s));
    EXPECT_EQ(order, (std::vector<std::string>{"failure", "write failed"}));
}
