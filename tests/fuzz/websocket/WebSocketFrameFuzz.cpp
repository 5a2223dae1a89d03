// libFuzzer target: the WebSocket client reading whatever frames a server sends. Each input
// is written raw, right after a real upgrade, by a server on loopback in this process; then
// the server hangs up. Checks that the client opens once, delivers only text within its size
// limit, reports exactly one failure, and says nothing after it.

#include "net/WebSocketClient.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>

using namespace quorlinth;
namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
using asio::ip::tcp;

namespace {

constexpr size_t kLimit = 1024; // small, so that inputs reach it

struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    int opens = 0;
    int failures = 0;
    bool afterFailure = false;

    void event(bool open, bool failure) {
        std::lock_guard lock(mutex);
        if (failures > 0) afterFailure = true;
        opens += open;
        failures += failure;
        changed.notify_all();
    }
};

struct Server {
    asio::io_context io;
    tcp::acceptor acceptor{io, {asio::ip::make_address("127.0.0.1"), 0}};
    std::string url = "ws://127.0.0.1:" + std::to_string(acceptor.local_endpoint().port()) + "/v1/signal";
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Server* server = new Server;
    auto seen = std::make_shared<Seen>();
    net::WebSocketClient client({.maxMessageBytes = kLimit});
    client.connect(server->url, {},
                   {.onOpen = [seen] { seen->event(true, false); },
                    .onText =
                        [seen](std::string text) {
                            if (text.size() > kLimit) std::abort();
                            seen->event(false, false);
                        },
                    .onBinary = [seen](size_t bytes) { seen->event(false, false); },
                    .onFailure = [seen](net::WebSocketFailure) { seen->event(false, true); }});

    websocket::stream<tcp::socket> ws(server->io);
    server->acceptor.accept(ws.next_layer());
    ws.accept();
    boost::system::error_code ignored;
    asio::write(ws.next_layer(), asio::buffer(data, size), ignored);
    ws.next_layer().shutdown(tcp::socket::shutdown_send, ignored);

    std::unique_lock lock(seen->mutex);
    if (!seen->changed.wait_for(lock, std::chrono::seconds(10), [&] { return seen->failures > 0; }))
        std::abort(); // the client never noticed the server hang up
    if (seen->opens != 1 || seen->failures != 1 || seen->afterFailure) std::abort();
    return 0;
}
