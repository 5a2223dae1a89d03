#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace quorlinth {

// Splits a byte stream into line-feed-terminated lines. One buffer, consumed in place; the
// search for the next line feed resumes where the last one stopped, so a frame trickling in
// byte by byte costs linear time.
class LANLineReader {
public:
    // Bytes a peer may leave buffered without a line feed; one more closes the link.
    static constexpr size_t kMaxPendingBytes = 300'000;

    void append(const uint8_t* data, size_t size);
    // The next complete line without its line feed, or nullopt when none is complete.
    std::optional<std::string> nextLine();
    // Bytes received and not yet taken as a line.
    size_t pendingBytes() const { return buffer.size() - consumed; }
    bool overflowed() const { return pendingBytes() > kMaxPendingBytes; }

private:
    std::string buffer;
    size_t consumed = 0; // bytes at the front already handed out
    size_t scanned = 0;  // bytes from `consumed` known to hold no line feed
};

} // namespace quorlinth
