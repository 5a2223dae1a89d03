#pragma once

#include "lan/MacLANHost.h"

#include <string>

namespace quorlinth {

// The texts of the question a shared Mac asks its user when a controller proved the pairing
// password; the model shows them with the buttons kLANConsentAllow (first) and kLANConsentDeny.
struct LANConsentText {
    std::string message;
    std::string informative;
};

inline constexpr const char* kLANConsentAllow = "允许并信任";
inline constexpr const char* kLANConsentDeny = "拒绝";
// The user-activity name declared so that a sleeping display wakes for the question.
inline constexpr const char* kLANConsentActivity = "Quorlinth 局域网连接请求";

// `remoteInput`: remote input is allowed and the process may post input events.
LANConsentText lanConsentText(const MacLANHost::Request& request, bool remoteInput);

} // namespace quorlinth
