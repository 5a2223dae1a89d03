#include "host/ControlMessage.h"

#include "base/Json.h"
#include "platform/InputInjector.h"

#include <cmath>
#include <optional>

namespace quorlinth {

namespace {

Error invalid(const std::string& type) {
    return Error{"control message \"" + type + "\" with missing or invalid fields"};
}

// A normalized coordinate: present, finite and within 0..1.
std::optional<double> coordinate(const Json& message, std::string_view key) {
    auto value = field::number(message, key);
    if (!value || !std::isfinite(*value) || *value < 0 || *value > 1) return std::nullopt;
    return value;
}

std::optional<double> scrollDelta(const Json& message, std::string_view key) {
    auto value = field::number(message, key);
    if (!value || !std::isfinite(*value) || std::fabs(*value) > kScrollLimit) return std::nullopt;
    return value;
}

Result<ControlMessage> readPointer(const Json& message) {
    auto x = coordinate(message, "x");
    auto y = coordinate(message, "y");
    auto mask = field::int64(message, "mask");
    if (!x || !y || !mask) return invalid("pointer");
    switch (*mask) {
    case 0:
        return ControlMessage{PointerMessage{*x, *y, PointerMask::none}};
    case 1:
        return ControlMessage{PointerMessage{*x, *y, PointerMask::left}};
    case 4:
        return ControlMessage{PointerMessage{*x, *y, PointerMask::right}};
    default:
        return invalid("pointer");
    }
}

Result<ControlMessage> readMove(const Json& message) {
    auto x = coordinate(message, "x");
    auto y = coordinate(message, "y");
    if (!x || !y) return invalid("move");
    return ControlMessage{MoveMessage{*x, *y}};
}

Result<ControlMessage> readScroll(const Json& message) {
    auto dx = scrollDelta(message, "dx");
    auto dy = scrollDelta(message, "dy");
    if (!dx || !dy) return invalid("scroll");
    return ControlMessage{ScrollMessage{*dx, *dy}};
}

Result<ControlMessage> readKeycode(const Json& message) {
    auto code = field::int64(message, "code");
    auto down = field::boolean(message, "down");
    if (!code || *code < 0 || *code > kLastKeyCode || !down) return invalid("keycode");
    KeycodeMessage key;
    key.code = static_cast<uint16_t>(*code);
    key.down = *down;
    key.shift = field::boolean(message, "shift", false);
    key.control = field::boolean(message, "control", false);
    key.option = field::boolean(message, "option", false);
    key.command = field::boolean(message, "command", false);
    key.fn = field::boolean(message, "fn", false);
    return ControlMessage{key};
}

Result<ControlMessage> readKeyAction(const Json& message) {
    auto action = field::int64(message, "action");
    if (!action || *action < 0 || *action > 2) return invalid("key");
    return ControlMessage{KeyActionMessage{static_cast<KeyAction>(*action)}};
}

Result<ControlMessage> readText(const Json& message) {
    auto text = field::string(message, "text");
    if (!text || text->empty() || utf16Length(*text) > kTextLimit) return invalid("text");
    return ControlMessage{TextMessage{std::move(*text)}};
}

} // namespace

uint64_t KeycodeMessage::flags() const {
    return (shift ? keyFlag::kShift : 0) + (control ? keyFlag::kControl : 0) +
           (option ? keyFlag::kOption : 0) + (command ? keyFlag::kCommand : 0) + (fn ? keyFlag::kFn : 0);
}

size_t utf16Length(std::string_view utf8) {
    size_t units = 0;
    for (unsigned char byte : utf8) {
        if ((byte & 0xC0) == 0x80) continue; // continuation byte
        units += byte >= 0xF0 ? 2 : 1;       // four-byte sequences need a surrogate pair
    }
    return units;
}

Result<ControlMessage> parseControlMessage(std::string_view bytes) {
    if (bytes.size() > kControlMessageLimit) return Error{"control message longer than 16384 bytes"};
    auto message = parseJsonObject(bytes);
    if (!message) return Error{"control message is not a JSON object"};
    auto type = field::string(*message, "type");
    if (!type) return Error{"control message without a string \"type\""};
    if (*type == "pointer") return readPointer(*message);
    if (*type == "move") return readMove(*message);
    if (*type == "scroll") return readScroll(*message);
    if (*type == "keycode") return readKeycode(*message);
    if (*type == "key") return readKeyAction(*message);
    if (*type == "input_source") return ControlMessage{InputSourceMessage{}};
    if (*type == "text") return readText(*message);
    if (*type == "release") return ControlMessage{ReleaseMessage{}};
    return Error{"control message of an unrecognised type"};
}

} // namespace quorlinth
