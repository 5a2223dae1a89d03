#pragma once

#include "ApiTypes.h"
#include "ServiceContext.h"

namespace quorlinth::service::diagnostics {

// POST /v1/diagnostics: keeps an uploaded log and answers an "id" that a person can read
// out to support, e.g. "261210-K7QX4M" (date, then six letters and digits that cannot be
// mistaken for each other).
ApiResponse upload(ServiceContext& context, const ApiRequest& request);

} // namespace quorlinth::service::diagnostics
