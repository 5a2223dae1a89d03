#include "SignalCutProxy.h"

#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorlinth::testing {

namespace {

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = send(fd, data, size, MSG_NOSIGNAL);
        if (written <= 0) return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

// One client connection and its connection to the service.
struct Link {
    int client = -1;
    int service = -1;
    std::atomic<bool> signaling{false};
    std::atomic<bool> cut{false};

    ~Link() {
        close(client);
        close(service);
    }
    void shutdownBoth() {
        shutdown(client, SHUT_RDWR);
        shutdown(service, SHUT_RDWR);
    }
};

} // namespace

struct SignalCutProxy::Impl {
    std::function<void()> afterCut;
    uint16_t servicePort = 0;
    int listener = -1;
    uint16_t port = 0;
    std::mutex mutex;
    std::vector<std::shared_ptr<Link>> links;
    std::vector<std::thread> threads;
    std::thread acceptor;

    void acceptLoop() {
        for (;;) {
            int client = accept(listener, nullptr, nullptr);
            if (client < 0) return;
            auto link = std::make_shared<Link>();
            link->client = client;
            link->service = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address = loopback(servicePort);
            if (connect(link->service, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                link->shutdownBoth();
                continue;
            }
            std::lock_guard lock(mutex);
            links.push_back(link);
            threads.emplace_back([this, link] { towardsService(*link); });
            threads.emplace_back([this, link] { towardsClient(*link); });
        }
    }

    void towardsService(Link& link) {
        char chunk[16384];
        bool first = true;
        for (;;) {
            ssize_t count = recv(link.client, chunk, sizeof chunk, 0);
            if (count <= 0) break;
            if (first) link.signaling = std::string_view(chunk, size_t(count)).starts_with("GET /v1/signal");
            first = false;
            // After the cut the client's frames go nowhere, as on a dead connection.
            if (link.cut) continue;
            if (!writeAll(link.service, chunk, size_t(count))) break;
        }
        if (!link.cut) link.shutdownBoth();
    }

    void towardsClient(Link& link) {
        std::string held;
        bool handshakeDone = false;
        char chunk[16384];
        for (;;) {
            ssize_t count = recv(link.service, chunk, sizeof chunk, 0);
            if (count <= 0) break;
            if (!link.signaling) {
                if (!writeAll(link.client, chunk, size_t(count))) break;
                continue;
            }
            held.append(chunk, size_t(count));
            if (!handshakeDone) {
                size_t end = held.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                if (!writeAll(link.client, held.data(), end + 4)) break;
                held.erase(0, end + 4);
                handshakeDone = true;
            }
            if (held.find("\"ready\"") == std::string::npos) continue;
            link.cut = true;
            shutdown(link.service, SHUT_RDWR);
            afterCut();
            writeAll(link.client, held.data(), held.size());
            return;
        }
        if (!link.cut) link.shutdownBoth();
    }
};

SignalCutProxy::SignalCutProxy(uint16_t servicePort, std::function<void()> afterCut)
    : impl(std::make_unique<Impl>()) {
    impl->afterCut = std::move(afterCut);
    impl->servicePort = servicePort;
    impl->listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (bind(impl->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(impl->listener, 16) != 0 ||
        getsockname(impl->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    impl->port = ntohs(address.sin_port);
    impl->acceptor = std::thread([raw = impl.get()] { raw->acceptLoop(); });
}

SignalCutProxy::~SignalCutProxy() {
    shutdown(impl->listener, SHUT_RDWR);
    if (impl->acceptor.joinable()) impl->acceptor.join();
    close(impl->listener);
    std::lock_guard lock(impl->mutex);
    for (auto& link : impl->links)
        link->shutdownBoth();
    for (auto& thread : impl->threads)
        thread.join();
}

std::string SignalCutProxy::baseURL() const {
    return impl->port ? "http://127.0.0.1:" + std::to_string(impl->port) : "";
}

} // namespace quorlinth::testing
