#pragma once

#include "base/Result.h"

#include <boost/asio/ssl/context.hpp>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

namespace quorlinth::net {

// A client TLS context that verifies server certificates against the system's trust store,
// plus one extra CA file when given (tests and private deployments use their own CA).
Result<std::shared_ptr<boost::asio::ssl::context>>
makeClientTlsContext(const std::optional<std::filesystem::path>& extraCaFile);

} // namespace quorlinth::net
