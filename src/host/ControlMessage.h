#pragma once

#include "base/Result.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace quorlinth {

// The host's reading of one "control" data-channel message: everything the controller may send
// except "viewport", which the model routes before the injector sees it.

inline constexpr size_t kControlMessageLimit = 16384; // bytes; longer messages are ignored
inline constexpr double kScrollLimit = 1000;          // largest accepted scroll delta magnitude
inline constexpr size_t kTextLimit = 4096;            // UTF-16 code units
inline constexpr int64_t kLastKeyCode = 127;

enum class PointerMask : int { none = 0, left = 1, right = 4 };

// "x" and "y" are normalized (0..1, top-left origin) and already checked.
struct PointerMessage {
    double x = 0;
    double y = 0;
    PointerMask mask = PointerMask::none;
};

struct MoveMessage {
    double x = 0;
    double y = 0;
};

struct ScrollMessage {
    double dx = 0;
    double dy = 0;
};

struct KeycodeMessage {
    uint16_t code = 0;
    bool down = false;
    bool shift = false;
    bool control = false;
    bool option = false;
    bool command = false;
    bool fn = false;

    // The sum of the flag masks of the modifiers that are set.
    uint64_t flags() const;
};

enum class KeyAction : int { back = 0, home = 1, recentTasks = 2 };

struct KeyActionMessage {
    KeyAction action = KeyAction::back;
};

struct InputSourceMessage {};

struct TextMessage {
    std::string text; // UTF-8, 1..4096 UTF-16 code units
};

struct ReleaseMessage {};

using ControlMessage = std::variant<PointerMessage, MoveMessage, ScrollMessage, KeycodeMessage,
                                    KeyActionMessage, InputSourceMessage, TextMessage, ReleaseMessage>;

// Reads one message by the host's rules. The error names what was wrong, never the content;
// callers drop such messages silently.
Result<ControlMessage> parseControlMessage(std::string_view bytes);

// The number of UTF-16 code units of valid UTF-8 text.
size_t utf16Length(std::string_view utf8);

} // namespace quorlinth
