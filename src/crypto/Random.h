#pragma once

#include "base/Encoding.h"

#include <cstddef>

namespace quorlinth::crypto {

// Bytes from the system's cryptographically secure generator. Aborts the process if the
// generator fails, since no caller could continue safely with predictable bytes.
Bytes randomBytes(size_t count);

} // namespace quorlinth::crypto
