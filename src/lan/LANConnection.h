#pragma once

#include "lan/LANTransport.h"
#include "net/IoThread.h"

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace quorlinth {

// The io thread every LAN socket runs on ("quorlinth.lan").
net::IoThread& lanIoThread();

// One TCP connection of the LAN link: an accepted socket, or a host and port connected to on
// start(). All socket work runs on the LAN io thread; events are called there, at most one
// read is outstanding, and after cancel() no event is delivered.
class LANConnection : public LANTransport, public std::enable_shared_from_this<LANConnection> {
public:
    static std::shared_ptr<LANConnection> accepted(boost::asio::ip::tcp::socket socket);
    static std::shared_ptr<LANConnection> outgoing(std::string host, uint16_t port);

    // Connects when outgoing, then issues the first read. Any thread; call once.
    void start(Events events) override;
    // Issues the next read. Any thread.
    void readMore() override;
    // `sent` runs on the io thread. Sends made before the connection is up wait for it.
    void send(std::string bytes, std::function<void()> sent = nullptr) override;
    // Closes the socket. Any thread.
    void cancel() override;

private:
    LANConnection(boost::asio::ip::tcp::socket socket, std::string host, uint16_t port, bool connected);

    // Io thread only.
    void connect();
    void becameReady();
    void read();
    void writeNext();
    void end();

    boost::asio::ip::tcp::socket socket;
    boost::asio::ip::tcp::resolver resolver;
    std::string host;
    uint16_t port;
    bool ready;
    bool cancelled = false;
    Events events;
    struct Pending {
        std::string bytes;
        std::function<void()> sent;
    };
    std::deque<Pending> writes;
    bool writing = false;
    static constexpr size_t kReadSize = 65'536;
    std::string readBuffer;
};

} // namespace quorlinth
