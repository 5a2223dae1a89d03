#include "account/MacServiceConfig.h"

#include "store/UserDefaults.h"

namespace quorlinth {

MacServiceConfig MacServiceConfig::load(const UserDefaults& defaults) {
    MacServiceConfig config;
    if (auto value = defaults.string(kAccountBaseURLKey); value && !value->empty())
        config.accountBaseURL = *value;
    if (auto value = defaults.string(kAPIBaseURLKey); value && !value->empty()) config.apiBaseURL = *value;
    if (auto value = defaults.string(kCAFileKey); value && !value->empty()) config.caFile = *value;
    return config;
}

MacServiceConfig MacServiceConfig::load(const UserDefaults& defaults,
                                        const std::optional<std::string>& named) {
    MacServiceConfig config = load(defaults);
    if (!named) return config;
    MacServiceConfig chosen = single(*named);
    chosen.caFile = config.caFile;
    return chosen;
}

MacServiceConfig MacServiceConfig::single(std::string base) {
    MacServiceConfig config;
    config.accountBaseURL = base;
    config.apiBaseURL = std::move(base);
    return config;
}

} // namespace quorlinth
