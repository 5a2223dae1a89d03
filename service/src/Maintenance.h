#pragma once

#include "ServiceContext.h"

namespace quorlinth::service {

// Deletes expired tokens, captchas, SMS codes, QR sign-ins and device codes, and ends
// signaling sessions whose host never answered. Runs periodically.
void runMaintenance(ServiceContext& context);

} // namespace quorlinth::service
