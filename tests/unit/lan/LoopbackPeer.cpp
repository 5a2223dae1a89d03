#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorlinth::testing {

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

} // namespace

LoopbackListener::LoopbackListener() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 8) != 0) return;
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (fd >= 0) close(fd);
}

int LoopbackListener::accept() {
    if (!readable(fd, 10'000)) return -1;
    return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
}

LoopbackPeer LoopbackPeer::connectTo(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        fd = -1;
    }
    return LoopbackPeer(fd);
}

LoopbackPeer::~LoopbackPeer() {
    if (fd >= 0) close(fd);
}

void LoopbackPeer::write(const std::string& bytes) {
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        ssize_t count = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (count <= 0) return;
        done += size_t(count);
    }
}

std::string LoopbackPeer::readLine(int timeoutMs) {
    while (true) {
        if (size_t end = pending.find('\n'); end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return line;
        }
        if (atEnd || !readable(fd, timeoutMs)) return "";
        char chunk[65536];
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count <= 0) {
            atEnd = true;
            return "";
        }
        pending.append(chunk, size_t(count));
    }
}

bool LoopbackPeer::waitForEnd(int timeoutMs) {
    while (!atEnd) {
        if (!readable(fd, timeoutMs)) return false;
        char chunk[65536];
        ssize_t count = read(fd, chunk, sizeof chunk);
        if (count <= 0) atEnd = true;
    }
    return true;
}

void LoopbackPeer::shutdownWrite() {
    shutdown(fd, SHUT_WR);
}

} // namespace quorlinth::testing
