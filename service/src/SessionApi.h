#pragma once

#include "ApiTypes.h"
#include "ServiceContext.h"

namespace quorlinth::service::sessions {

// POST /v1/sessions: a controller asks for a device of its own account.
ApiResponse create(ServiceContext& context, const ApiRequest& request);
// POST /v1/guest-sessions: a controller asks for any device by its device code and
// temporary password.
ApiResponse createGuest(ServiceContext& context, const ApiRequest& request);

} // namespace quorlinth::service::sessions
