#include "capture/MacViewport.h"

#include "base/Json.h"

#include <algorithm>
#include <cmath>

namespace quorlinth {

namespace {

constexpr size_t kMaxRequestBytes = 512;

int64_t evenFloor(int64_t value) {
    return value - (value % 2 + 2) % 2;
}

// Controller-specific size: the requested screen in points, enlarged by a third, brought up
// to a usable size and down into 1920 × 1080; keeps the request's orientation.
MacViewport fitted(double width, double height, double scale) {
    double s = scale <= 1.0 ? 1.0 : scale;
    double pw = width / s * 4 / 3;
    double ph = height / s * 4 / 3;
    double toShort = 600 / std::min(pw, ph);
    double toLong = 800 / std::max(pw, ph);
    double up = toShort >= 1 ? std::max(toShort, toLong) : std::max(toLong, 1.0);
    double x = pw * up;
    double y = ph * up;
    double down = std::min({1920 / std::max(x, y), 1080 / std::min(x, y), 1.0});
    return {evenFloor(std::llround(x * down)), evenFloor(std::llround(y * down)), scale >= 2.0, true};
}

// The request's size as a landscape display, within 3840 × 2160; on a HiDPI request in points.
std::optional<MacViewport> plain(double width, double height, double scale) {
    double longSide = std::max(width, height);
    double shortSide = std::min(width, height);
    double k = std::min({3840 / longSide, 2160 / shortSide, 1.0});
    double w = double(evenFloor(int64_t(longSide * k)));
    double h = double(evenFloor(int64_t(shortSide * k)));
    if (scale < 2.0) return MacViewport{int64_t(w), int64_t(h), false, false};
    w /= 2;
    h /= 2;
    double a = 600 / std::min(w, h);
    double b = 800 / std::max(w, h);
    if (a >= 1) {
        double factor = std::max(a, b);
        w *= factor;
        h *= factor;
    } else if (b >= 1) {
        w *= b;
        h *= b;
    }
    if (std::max(w, h) > 1920 || std::min(w, h) > 1080) return std::nullopt;
    return MacViewport{evenFloor(int64_t(std::ceil(w))), evenFloor(int64_t(std::ceil(h))), true, false};
}

} // namespace

std::string MacViewport::text() const {
    std::string out = std::to_string(width) + "x" + std::to_string(height);
    if (hiDPI) out += "@2x";
    if (fit) out += "（手机专用）";
    return out;
}

std::optional<MacViewport> MacViewport::fromRequest(std::string_view message) {
    if (message.size() >= kMaxRequestBytes) return std::nullopt;
    if (message.find("\"viewport\"") == std::string_view::npos) return std::nullopt;
    auto parsed = parseJsonObject(message);
    if (!parsed) return std::nullopt;
    const Json& object = parsed.value();
    if (field::string(object, "type") != "viewport") return std::nullopt;
    auto width = field::number(object, "width");
    auto height = field::number(object, "height");
    auto scale = field::number(object, "scale");
    if (!width || !height || !scale) return std::nullopt;
    if (!std::isfinite(*width) || !std::isfinite(*height) || !std::isfinite(*scale)) return std::nullopt;
    if (*width < 640 || *height < 360) return std::nullopt;
    // Absurd sizes would overflow the integer arithmetic below; no screen is this large.
    if (*width > 1e6 || *height > 1e6) return std::nullopt;
    auto viewport = field::boolean(object, "fit").value_or(false)
                        ? std::optional(fitted(*width, *height, *scale))
                        : plain(*width, *height, *scale);
    // A very lopsided request scales one side down to nothing; no display can take that size.
    if (viewport && (viewport->width < 2 || viewport->height < 2)) return std::nullopt;
    return viewport;
}

bool MacViewportSession::restore() {
    MacViewport target = original.value_or(MacViewport{});
    original.reset();
    bool changed = !(current == target);
    current = target;
    return changed;
}

} // namespace quorlinth
