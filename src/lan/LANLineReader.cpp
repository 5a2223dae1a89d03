#include "lan/LANLineReader.h"

namespace quorlinth {

void LANLineReader::append(const uint8_t* data, size_t size) {
    // Drop handed-out bytes before growing, so the buffer stays near one frame in size.
    if (consumed > 0 && consumed >= buffer.size() / 2) {
        buffer.erase(0, consumed);
        consumed = 0;
    }
    buffer.append(reinterpret_cast<const char*>(data), size);
}

std::optional<std::string> LANLineReader::nextLine() {
    size_t end = buffer.find('\n', consumed + scanned);
    if (end == std::string::npos) {
        scanned = buffer.size() - consumed;
        return std::nullopt;
    }
    std::string line = buffer.substr(consumed, end - consumed);
    consumed = end + 1;
    scanned = 0;
    if (consumed == buffer.size()) {
        buffer.clear();
        consumed = 0;
    }
    return line;
}

} // namespace quorlinth
