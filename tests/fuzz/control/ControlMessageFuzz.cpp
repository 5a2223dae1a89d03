// libFuzzer target: one "control" data-channel message as the sharing side reads it, first
// as a viewport request (the model routes those before the injector), then as input. Checks
// that whatever is accepted is within the ranges the injector relies on, and that a viewport
// is a non-empty even size within the largest screen.

#include "capture/MacViewport.h"
#include "host/ControlMessage.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <variant>

using namespace quorlinth;

namespace {

bool normalized(double value) {
    return std::isfinite(value) && value >= 0 && value <= 1;
}

void checkViewport(const MacViewport& viewport) {
    bool usable = viewport.width > 0 && viewport.height > 0 && viewport.width % 2 == 0 &&
                  viewport.height % 2 == 0 && std::max(viewport.width, viewport.height) <= 3840 &&
                  std::min(viewport.width, viewport.height) <= 2160;
    if (viewport.hiDPI || viewport.fit)
        usable = usable && std::max(viewport.width, viewport.height) <= 1920 &&
                 std::min(viewport.width, viewport.height) <= 1080;
    if (!usable) std::abort();
}

struct InputCheck {
    void operator()(const PointerMessage& m) const {
        if (!normalized(m.x) || !normalized(m.y)) std::abort();
    }
    void operator()(const MoveMessage& m) const {
        if (!normalized(m.x) || !normalized(m.y)) std::abort();
    }
    void operator()(const ScrollMessage& m) const {
        if (!std::isfinite(m.dx) || !std::isfinite(m.dy) || std::fabs(m.dx) > kScrollLimit ||
            std::fabs(m.dy) > kScrollLimit)
            std::abort();
    }
    void operator()(const KeycodeMessage& m) const {
        if (m.code > kLastKeyCode) std::abort();
    }
    void operator()(const TextMessage& m) const {
        if (m.text.empty() || utf16Length(m.text) > kTextLimit) std::abort();
    }
    void operator()(const auto&) const {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    if (auto viewport = MacViewport::fromRequest(bytes)) {
        checkViewport(*viewport);
        viewport->text();
        return 0;
    }
    auto message = parseControlMessage(bytes);
    if (!message) return 0;
    if (size > kControlMessageLimit) std::abort();
    std::visit(InputCheck{}, message.value());
    return 0;
}
