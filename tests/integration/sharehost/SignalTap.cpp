#include "SignalTap.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorlinth::testing {

namespace {

constexpr size_t kHeaderLimit = 64 * 1024;
// Far above the 70 KiB signaling limit; a larger length means the stream is not understood,
// and forwarding stops there rather than guessing.
constexpr uint64_t kFrameLimit = 1024 * 1024;

void writeAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += size_t(n);
    }
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// The value of header `name` (lower case) in an HTTP head, or "".
std::string headerValue(const std::string& head, const std::string& name) {
    std::string lower = lowerCase(head);
    auto at = lower.find("\r\n" + name + ":");
    if (at == std::string::npos) return "";
    auto start = at + name.size() + 3;
    auto end = lower.find("\r\n", start);
    std::string value = head.substr(start, end - start);
    value.erase(0, value.find_first_not_of(' '));
    return value;
}

// One parsed WebSocket frame and its encoded size; nullopt until the buffer holds all of it.
struct ParsedFrame {
    bool fin = false;
    int opcode = 0;
    std::string payload;
    size_t size = 0;
};

std::optional<ParsedFrame> parseFrame(const std::string& buffer) {
    if (buffer.size() < 2) return std::nullopt;
    auto byte = [&](size_t index) { return static_cast<uint8_t>(buffer[index]); };
    ParsedFrame frame;
    frame.fin = byte(0) & 0x80;
    frame.opcode = byte(0) & 0x0f;
    bool masked = byte(1) & 0x80;
    uint64_t length = byte(1) & 0x7f;
    size_t position = 2;
    int extended = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (buffer.size() < position + extended) return std::nullopt;
    if (extended) {
        length = 0;
        for (int i = 0; i < extended; ++i)
            length = (length << 8) | byte(position + i);
        position += extended;
    }
    if (length > kFrameLimit) return std::nullopt;
    uint8_t key[4] = {};
    if (masked) {
        if (buffer.size() < position + 4) return std::nullopt;
        for (int i = 0; i < 4; ++i)
            key[i] = byte(position + i);
        position += 4;
    }
    if (buffer.size() < position + length) return std::nullopt;
    frame.payload = buffer.substr(position, length);
    if (masked)
        for (size_t i = 0; i < frame.payload.size(); ++i)
            frame.payload[i] = char(uint8_t(frame.payload[i]) ^ key[i % 4]);
    frame.size = position + length;
    return frame;
}

// An unmasked (server-to-client) text frame.
std::string textFrame(const std::string& text) {
    std::string frame(1, char(0x81));
    if (text.size() < 126) {
        frame += char(text.size());
    } else if (text.size() <= 0xffff) {
        frame += char(126);
        frame += char(text.size() >> 8);
        frame += char(text.size() & 0xff);
    } else {
        frame += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char((uint64_t(text.size()) >> shift) & 0xff);
    }
    return frame + text;
}

bool isDataFrame(int opcode) {
    return opcode <= 2;
}

} // namespace

struct SignalTap::Connection {
    int host = -1, service = -1;
    std::atomic<bool> silenced{false};
    std::atomic<bool> webSocket{false};
    std::atomic<bool> open{true};

    // Host-to-service side (its pump thread only).
    std::string hostBuffer;
    bool upgraded = false;
    std::string hostMessage;

    // Service-to-host side; under `writeMutex`, which also orders injected frames.
    std::mutex writeMutex;
    std::string serviceBuffer;
    bool headersForwarded = false;
    bool midMessage = false;
    std::string serviceMessage;
    std::vector<std::string> injections;

    void flushInjections() {
        for (const auto& frame : injections)
            writeAll(host, frame);
        injections.clear();
    }
};

SignalTap::SignalTap(uint16_t servicePort) : servicePort(servicePort) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return;
    listenPort = ntohs(address.sin_port);
    acceptor = std::thread([this] { acceptLoop(); });
}

SignalTap::~SignalTap() {
    shutdown(listener, SHUT_RDWR);
    if (acceptor.joinable()) acceptor.join();
    close(listener);
    std::vector<std::thread> running;
    {
        std::lock_guard lock(mutex);
        for (const auto& connection : connections) {
            shutdown(connection->host, SHUT_RDWR);
            shutdown(connection->service, SHUT_RDWR);
        }
        running.swap(pumps);
    }
    for (auto& pump : running)
        pump.join();
    for (const auto& connection : connections) {
        close(connection->host);
        close(connection->service);
    }
}

void SignalTap::acceptLoop() {
    while (true) {
        int host = accept(listener, nullptr, nullptr);
        if (host < 0) return;
        int service = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(servicePort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(service, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(service);
            close(host);
            continue;
        }
        auto connection = std::make_shared<Connection>();
        connection->host = host;
        connection->service = service;
        std::lock_guard lock(mutex);
        connections.push_back(connection);
        pumps.emplace_back([this, connection] { pumpFromHost(connection); });
        pumps.emplace_back([this, connection] { pumpFromService(connection); });
    }
}

void SignalTap::pumpFromHost(const std::shared_ptr<Connection>& connection) {
    char chunk[65536];
    ssize_t count;
    while ((count = recv(connection->host, chunk, sizeof chunk, 0)) > 0) {
        std::string bytes(chunk, size_t(count));
        // Read first: the upgrade flag must be set before the service can answer.
        readHostBytes(*connection, bytes);
        if (!connection->silenced) writeAll(connection->service, bytes);
    }
    connection->open = false;
    shutdown(connection->service, SHUT_RDWR);
}

void SignalTap::pumpFromService(const std::shared_ptr<Connection>& connection) {
    char chunk[65536];
    ssize_t count;
    while ((count = recv(connection->service, chunk, sizeof chunk, 0)) > 0) {
        if (connection->silenced) continue;
        std::lock_guard lock(connection->writeMutex);
        if (!connection->webSocket) {
            writeAll(connection->host, std::string(chunk, size_t(count)));
            continue;
        }
        connection->serviceBuffer.append(chunk, size_t(count));
        forwardServiceFrames(*connection);
    }
    connection->open = false;
    shutdown(connection->host, SHUT_RDWR);
}

// Under the connection's write mutex: passes the upgrade answer, then whole frames, and
// puts injected messages between messages only.
void SignalTap::forwardServiceFrames(Connection& connection) {
    std::string& buffer = connection.serviceBuffer;
    if (!connection.headersForwarded) {
        auto end = buffer.find("\r\n\r\n");
        if (end == std::string::npos) return;
        std::string head = buffer.substr(0, end + 4);
        writeAll(connection.host, head);
        buffer.erase(0, end + 4);
        if (head.find(" 101 ") == std::string::npos) {
            connection.webSocket = false; // refused: the rest is a plain HTTP body
            writeAll(connection.host, buffer);
            buffer.clear();
            return;
        }
        connection.headersForwarded = true;
        connection.flushInjections();
    }
    while (auto frame = parseFrame(buffer)) {
        writeAll(connection.host, buffer.substr(0, frame->size));
        buffer.erase(0, frame->size);
        if (!isDataFrame(frame->opcode)) continue;
        connection.serviceMessage += frame->payload;
        connection.midMessage = !frame->fin;
        if (!frame->fin) continue;
        auto message = parseJsonObject(connection.serviceMessage);
        connection.serviceMessage.clear();
        if (message) {
            std::lock_guard lock(mutex);
            fromService.push_back(*message);
        }
        connection.flushInjections();
    }
}

void SignalTap::readHostBytes(Connection& connection, const std::string& bytes) {
    connection.hostBuffer += bytes;
    if (!connection.upgraded) readHttpRequests(connection);
    if (connection.upgraded) readHostFrames(connection);
}

void SignalTap::readHttpRequests(Connection& connection) {
    std::string& buffer = connection.hostBuffer;
    while (!connection.upgraded) {
        auto end = buffer.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (buffer.size() > kHeaderLimit) buffer.clear();
            return;
        }
        std::string head = buffer.substr(0, end + 2);
        std::string lengthText = headerValue(head, "content-length");
        size_t bodyLength = lengthText.empty() ? 0 : std::stoul(lengthText);
        if (buffer.size() < end + 4 + bodyLength) return;
        HttpRequest request;
        auto firstSpace = head.find(' ');
        auto secondSpace = head.find(' ', firstSpace + 1);
        request.method = head.substr(0, firstSpace);
        request.path = head.substr(firstSpace + 1, secondSpace - firstSpace - 1);
        request.head = head;
        request.body = buffer.substr(end + 4, bodyLength);
        buffer.erase(0, end + 4 + bodyLength);
        if (lowerCase(headerValue(head, "upgrade")) == "websocket") {
            connection.webSocket = true;
            connection.upgraded = true;
        }
        std::lock_guard lock(mutex);
        httpRequests.push_back(std::move(request));
    }
}

void SignalTap::readHostFrames(Connection& connection) {
    std::string& buffer = connection.hostBuffer;
    while (auto frame = parseFrame(buffer)) {
        buffer.erase(0, frame->size);
        std::lock_guard lock(mutex);
        if (frame->opcode == 8) {
            uint16_t code = frame->payload.size() >= 2
                                ? uint16_t(uint8_t(frame->payload[0]) << 8 | uint8_t(frame->payload[1]))
                                : 1005;
            closeCodes.push_back(code);
        } else if (frame->opcode == 9) {
            ++pings;
        } else if (isDataFrame(frame->opcode)) {
            connection.hostMessage += frame->payload;
            if (!frame->fin) continue;
            if (auto message = parseJsonObject(connection.hostMessage)) fromHost.push_back(*message);
            connection.hostMessage.clear();
        }
    }
}

std::string SignalTap::HttpRequest::header(const std::string& name) const {
    return headerValue(head, lowerCase(name));
}

std::vector<SignalTap::HttpRequest> SignalTap::requests() const {
    std::lock_guard lock(mutex);
    return httpRequests;
}

std::vector<Json> SignalTap::hostMessages() const {
    std::lock_guard lock(mutex);
    return fromHost;
}

std::vector<Json> SignalTap::serviceMessages() const {
    std::lock_guard lock(mutex);
    return fromService;
}

std::vector<uint16_t> SignalTap::hostCloseCodes() const {
    std::lock_guard lock(mutex);
    return closeCodes;
}

int SignalTap::hostPings() const {
    std::lock_guard lock(mutex);
    return pings;
}

int SignalTap::signalingConnections() const {
    std::lock_guard lock(mutex);
    return int(std::count_if(connections.begin(), connections.end(),
                             [](const auto& connection) { return connection->webSocket.load(); }));
}

bool SignalTap::injectToHost(const Json& message) {
    std::shared_ptr<Connection> target;
    {
        std::lock_guard lock(mutex);
        for (auto it = connections.rbegin(); it != connections.rend() && !target; ++it)
            if ((*it)->webSocket && (*it)->open && !(*it)->silenced) target = *it;
    }
    if (!target) return false;
    std::lock_guard lock(target->writeMutex);
    target->injections.push_back(textFrame(dumpJson(message)));
    if (target->headersForwarded && !target->midMessage) target->flushInjections();
    return true;
}

void SignalTap::dropOpenConnections() {
    std::lock_guard lock(mutex);
    for (const auto& connection : connections)
        if (connection->open) {
            shutdown(connection->host, SHUT_RDWR);
            shutdown(connection->service, SHUT_RDWR);
        }
}

void SignalTap::silenceOpenConnections() {
    std::lock_guard lock(mutex);
    for (const auto& connection : connections)
        connection->silenced = true;
}

} // namespace quorlinth::testing
