#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quorlinth {

// Joins the pieces of a text message the engine hands over in parts. Its SCTP layer delivers a
// message larger than the partial-delivery point (64 KiB) as several messages without marking
// the last, and every text message on our channels is one JSON value, of which no proper prefix
// parses. A piece below the point, or one that parses, is a whole message; otherwise pieces are
// joined until they parse. Joined text beyond `limit` is handed on as it is (the reader rejects
// it) rather than held for ever.
class RTCTextReassembly {
public:
    static constexpr size_t kPartialDeliveryPoint = 65536;

    explicit RTCTextReassembly(size_t limit) : limit(limit) {}

    // The whole message this piece completes, if any.
    std::optional<std::string> add(std::string piece);

private:
    size_t limit;
    std::string pending;
};

} // namespace quorlinth
