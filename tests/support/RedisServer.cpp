#include "RedisServer.h"

#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorlinth::testing {

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);

} // namespace

RedisServer::RedisServer() {
    start();
}

RedisServer::~RedisServer() {
    stop();
}

void RedisServer::stop() {
    server.reset();
}

bool RedisServer::start() {
    if (server) return true;
    server = std::make_unique<ChildProcess>(
        std::vector<std::string>{"setpriv", "--pdeathsig=KILL", "--", "redis-server", "--port", "0",
                                 "--unixsocket", socket().string(), "--unixsocketperm", "700", "--save", "",
                                 "--appendonly", "no", "--dir", dir.path().string(), "--daemonize", "no"},
        Environment{}, dir.path() / "redis.log");
    for (auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
         std::chrono::steady_clock::now() < deadline && server->running();
         std::this_thread::sleep_for(std::chrono::milliseconds(20)))
        if (answersPing()) return true;
    failureText = "redis-server did not start: " + readTextFile(dir.path() / "redis.log");
    server.reset();
    return false;
}

bool RedisServer::answersPing() const {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = socket().string();
    if (path.size() >= sizeof(address.sun_path)) {
        ::close(fd);
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    bool answered = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::write(fd, "PING\r\n", 6) == 6) {
        char reply[16] = {};
        answered = ::read(fd, reply, sizeof(reply) - 1) > 0 && std::strncmp(reply, "+PONG", 5) == 0;
    }
    ::close(fd);
    return answered;
}

} // namespace quorlinth::testing
