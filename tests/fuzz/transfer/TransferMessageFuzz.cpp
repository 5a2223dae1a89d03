// libFuzzer target: the transfer channel's message reader and the safe name of offered files.
// Whatever arrives, reading never crashes, and every name it yields stays one visible entry of
// the download folder.

#include "transfer/SafeFileName.h"
#include "transfer/TransferMessage.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace quorlinth;

namespace {

bool validUtf8(const std::string& text) {
    size_t index = 0;
    while (index < text.size()) {
        auto lead = static_cast<unsigned char>(text[index]);
        size_t length = lead < 0x80           ? 1
                        : (lead >> 5) == 0x6  ? 2
                        : (lead >> 4) == 0xE  ? 3
                        : (lead >> 3) == 0x1E ? 4
                                              : 0;
        if (length == 0 || index + length > text.size()) return false;
        for (size_t offset = 1; offset < length; ++offset)
            if ((static_cast<unsigned char>(text[index + offset]) & 0xC0) != 0x80) return false;
        index += length;
    }
    return true;
}

void checkSafe(const std::string& offered) {
    std::string name = safeFileName(offered);
    const std::filesystem::path folder = "/downloads/Quorlinth";
    bool inside = !name.empty() && name.front() != '.' && name.find('/') == std::string::npos &&
                  name.find('\0') == std::string::npos && name.size() <= kMaxNameBytes && validUtf8(name) &&
                  (folder / name).lexically_normal().parent_path() == folder;
    for (unsigned char byte : name)
        inside = inside && byte >= 0x20 && byte != 0x7F;
    if (!inside) std::abort();
    // Numbered names stay inside as well.
    std::string numbered = numberedName(name, 9999);
    if (numbered.find('/') != std::string::npos || numbered.front() == '.') std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    checkSafe(input);
    auto message = TransferMessage::read(input);
    if (!message) return 0;
    if (message->type == TransferMessage::Type::offer) {
        if (message->size < 0) std::abort();
        checkSafe(message->name);
    }
    if (message->type == TransferMessage::Type::clip &&
        (message->text.empty() || message->text.size() > TransferMessage::kMaxClipText))
        std::abort();
    if (message->items.size() > TransferMessage::kMaxItems) std::abort();
    for (const auto& item : message->items)
        checkSafe(item.name);
    return 0;
}
