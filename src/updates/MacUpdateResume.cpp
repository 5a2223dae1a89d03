#include "updates/MacUpdateResume.h"

#include "base/Json.h"
#include "store/UserDefaults.h"

namespace quorlinth {

Bytes MacUpdateResume::encode() const {
    return toBytes(dumpJson(Json{{"sharing", sharing}, {"input", input}, {"at", at}}));
}

std::optional<MacUpdateResume> MacUpdateResume::decode(const Bytes& data) {
    auto object = parseJsonObject(toString(data));
    if (!object) return std::nullopt;
    auto sharing = field::boolean(*object, "sharing");
    auto input = field::boolean(*object, "input");
    auto at = field::number(*object, "at");
    if (!sharing || !input || !at) return std::nullopt;
    return MacUpdateResume{*sharing, *input, *at};
}

void MacUpdateResume::save(UserDefaults& defaults) const {
    defaults.set(kDefaultsKey, encode());
}

std::optional<MacUpdateResume> MacUpdateResume::take(UserDefaults& defaults, double now) {
    std::optional<Bytes> stored = defaults.data(kDefaultsKey);
    defaults.remove(kDefaultsKey);
    if (!stored) return std::nullopt;
    auto record = decode(*stored);
    if (!record) return std::nullopt;
    double age = now - record->at;
    if (age < 0 || age > kFreshSeconds) return std::nullopt;
    return record;
}

} // namespace quorlinth
