#include "lan/LANConnection.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <utility>

namespace quorlinth {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

net::IoThread& lanIoThread() {
    static net::IoThread thread("quorlinth.lan");
    return thread;
}

LANConnection::LANConnection(tcp::socket socket, std::string host, uint16_t port, bool connected)
    : socket(std::move(socket)), resolver(lanIoThread().context()), host(std::move(host)), port(port),
      ready(connected) {}

std::shared_ptr<LANConnection> LANConnection::accepted(tcp::socket socket) {
    return std::shared_ptr<LANConnection>(new LANConnection(std::move(socket), "", 0, true));
}

std::shared_ptr<LANConnection> LANConnection::outgoing(std::string host, uint16_t port) {
    return std::shared_ptr<LANConnection>(
        new LANConnection(tcp::socket(lanIoThread().context()), std::move(host), port, false));
}

void LANConnection::start(Events newEvents) {
    asio::post(lanIoThread().context(), [self = shared_from_this(), newEvents = std::move(newEvents)] {
        if (self->cancelled) return;
        self->events = newEvents;
        if (self->ready)
            self->becameReady();
        else
            self->connect();
    });
}

void LANConnection::connect() {
    resolver.async_resolve(host, std::to_string(port),
                           [self = shared_from_this()](error_code error, tcp::resolver::results_type found) {
                               if (self->cancelled) return;
                               if (error) return self->end();
                               asio::async_connect(self->socket, found,
                                                   [self](error_code error, const tcp::endpoint&) {
                                                       if (self->cancelled) return;
                                                       if (error) return self->end();
                                                       self->becameReady();
                                                   });
                           });
}

void LANConnection::becameReady() {
    ready = true;
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored); // signaling lines are small and urgent
    writeNext();
    read();
}

void LANConnection::readMore() {
    asio::post(lanIoThread().context(), [self = shared_from_this()] {
        if (!self->cancelled && self->ready) self->read();
    });
}

void LANConnection::read() {
    readBuffer.resize(kReadSize);
    socket.async_read_some(asio::buffer(readBuffer),
                           [self = shared_from_this()](error_code error, size_t count) {
                               if (self->cancelled) return;
                               if (error || count == 0) return self->end();
                               if (self->events.onData)
                                   self->events.onData(self->readBuffer.substr(0, count));
                           });
}

void LANConnection::send(std::string bytes, std::function<void()> sent) {
    asio::post(lanIoThread().context(),
               [self = shared_from_this(), bytes = std::move(bytes), sent = std::move(sent)]() mutable {
                   if (self->cancelled) {
                       if (sent) sent();
                       return;
                   }
                   self->writes.push_back({std::move(bytes), std::move(sent)});
                   if (self->ready) self->writeNext();
               });
}

void LANConnection::writeNext() {
    if (writing || writes.empty() || cancelled) return;
    writing = true;
    asio::async_write(socket, asio::buffer(writes.front().bytes),
                      [self = shared_from_this()](error_code, size_t) {
                          self->writing = false;
                          auto done = std::move(self->writes.front().sent);
                          self->writes.pop_front();
                          if (done) done();
                          self->writeNext(); // a failed write is seen by the pending read
                      });
}

void LANConnection::cancel() {
    asio::post(lanIoThread().context(), [self = shared_from_this()] {
        if (self->cancelled) return;
        self->cancelled = true;
        self->events = {};
        error_code ignored;
        self->resolver.cancel();
        self->socket.shutdown(tcp::socket::shutdown_both, ignored);
        self->socket.close(ignored);
        for (auto& pending : self->writes)
            if (auto done = std::exchange(pending.sent, nullptr)) done();
        // A write in flight still refers to its bytes until its completion runs.
        self->writes.resize(self->writing ? 1 : 0);
    });
}

void LANConnection::end() {
    auto onEnd = std::move(events.onEnd);
    events = {};
    if (onEnd) onEnd();
}

} // namespace quorlinth
