#pragma once

#include "platform/InputInjector.h"

#include <ostream>

namespace quorlinth {

// Readable failure messages for recorded events.
inline void PrintTo(const InputEvent& event, std::ostream* out) {
    std::visit(
        [out](const auto& e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, MouseEvent>) {
                static const char* kinds[] = {"down", "up", "dragged", "moved"};
                *out << "mouse " << kinds[static_cast<int>(e.kind)] << " button "
                     << static_cast<int>(e.button) << " at (" << e.point.x << ", " << e.point.y << ") clicks "
                     << e.clickCount;
            } else if constexpr (std::is_same_v<T, ScrollEvent>) {
                *out << "scroll " << e.vertical << ", " << e.horizontal;
            } else if constexpr (std::is_same_v<T, KeyEvent>) {
                *out << "key " << e.code << (e.down ? " down" : " up") << " flags 0x" << std::hex << e.flags
                     << std::dec;
            } else {
                *out << "text (" << e.text.size() << " bytes)" << (e.down ? " down" : " up");
            }
        },
        event);
}

} // namespace quorlinth
