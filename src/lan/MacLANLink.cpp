#include "lan/MacLANLink.h"

#include "base/WeakCallback.h"
#include "lan/LANIdentity.h"
#include "lan/LANTransport.h"

namespace quorlinth {

std::shared_ptr<MacLANLink> MacLANLink::create(std::shared_ptr<LANTransport> connection, Dispatcher& main) {
    return std::shared_ptr<MacLANLink>(new MacLANLink(std::move(connection), main));
}

MacLANLink::MacLANLink(std::shared_ptr<LANTransport> connection, Dispatcher& main)
    : connection(std::move(connection)), main(main) {}

MacLANLink::~MacLANLink() {
    connection->cancel();
}

void MacLANLink::start() {
    if (started || closed) return;
    started = true;
    LANTransport::Events events;
    events.onData = weakCallback<std::string>(
        weak_from_this(), main, [](MacLANLink& self, std::string bytes) { self.received(bytes); });
    events.onEnd = weakCallback<>(weak_from_this(), main, [](MacLANLink& self) { self.close(); });
    connection->start(std::move(events));
}

void MacLANLink::received(const std::string& bytes) {
    if (closed) return;
    reader.append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    // A handler may close (and release) the link: keep it alive for the loop.
    auto self = shared_from_this();
    while (!closed) {
        auto line = reader.nextLine();
        if (!line) break;
        auto message = parseJsonObject(*line);
        if (message && onMessage) onMessage(std::move(*message));
    }
    if (closed) return;
    if (reader.overflowed()) return close();
    connection->readMore();
}

void MacLANLink::send(const Json& message) {
    if (closed) return;
    connection->send(dumpJson(message) + "\n");
}

void MacLANLink::sendAndClose(const Json& message) {
    if (closed) return;
    connection->send(dumpJson(message) + "\n",
                     weakCallback<>(weak_from_this(), main, [](MacLANLink& self) { self.close(); }));
}

void MacLANLink::close() {
    if (closed) return;
    closed = true;
    connection->cancel();
    auto closing = std::move(onClose);
    onClose = nullptr;
    onMessage = nullptr;
    if (closing) closing();
}

Json rtcMessage(const Json& m, const crypto::P256SigningKey& identity) {
    Json wrapped = {{"t", "rtc"}, {"m", m}};
    if (auto sdp = field::string(m, "sdp")) wrapped["sig"] = sign("sdp|" + *sdp, identity);
    return wrapped;
}

} // namespace quorlinth
