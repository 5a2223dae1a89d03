#include "ScriptedSignalServer.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <thread>

namespace quorlinth::testing {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

struct ScriptedSignalServer::Impl {
    asio::io_context io;
    tcp::acceptor acceptor{io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)};
    std::vector<Frame> frames;
    std::unique_ptr<websocket::stream<beast::tcp_stream>> socket;
    beast::flat_buffer incoming;
    std::thread thread;

    void accept() {
        acceptor.async_accept([this](beast::error_code error, tcp::socket accepted) {
            if (error) return;
            socket = std::make_unique<websocket::stream<beast::tcp_stream>>(std::move(accepted));
            // Far above the client's limit, so the oversized frame does leave this side.
            socket->read_message_max(1 << 20);
            socket->async_accept([this](beast::error_code error) {
                if (!error) writeFrame(0);
            });
        });
    }

    void writeFrame(size_t index) {
        if (index == frames.size()) return readUntilClosed();
        socket->binary(frames[index].binary);
        socket->async_write(asio::buffer(frames[index].payload),
                            [this, index](beast::error_code error, size_t) {
                                if (!error) writeFrame(index + 1);
                            });
    }

    void readUntilClosed() {
        socket->async_read(incoming, [this](beast::error_code error, size_t) {
            incoming.consume(incoming.size());
            if (!error) readUntilClosed();
        });
    }
};

ScriptedSignalServer::ScriptedSignalServer(std::vector<Frame> frames) : impl(std::make_unique<Impl>()) {
    impl->frames = std::move(frames);
    impl->accept();
    impl->thread = std::thread([raw = impl.get()] { raw->io.run(); });
}

ScriptedSignalServer::~ScriptedSignalServer() {
    impl->io.stop();
    impl->thread.join();
}

std::string ScriptedSignalServer::baseURL() const {
    return "http://127.0.0.1:" + std::to_string(impl->acceptor.local_endpoint().port());
}

} // namespace quorlinth::testing
