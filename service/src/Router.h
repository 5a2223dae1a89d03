#pragma once

#include "ApiTypes.h"
#include "ServiceContext.h"

namespace quorlinth::service {

// Dispatches one request to its endpoint by method and path, and turns every failure into
// the JSON error shape: unknown paths 404 "not_found", a known path with another method 405
// "method_not_allowed", a failed handler its own code, anything unexpected 500.
class Router {
public:
    // Where a request runs: cheap answers on the network thread, password hashing on its own
    // bounded pool, everything else (SQLite) on the worker pool.
    enum class Lane { network, worker, hashing };

    explicit Router(ServiceContext& context) : context(context) {}
    ApiResponse handle(const ApiRequest& request);
    Lane laneOf(const std::string& method, const std::string& path) const;

private:
    ApiResponse dispatch(const ApiRequest& request);
    ServiceContext& context;
};

// Splits "/v1/devices/abc/renew" into its segments; empty segments are kept so that
// "/v1//devices" does not match "/v1/devices".
std::vector<std::string> pathSegments(const std::string& path);

} // namespace quorlinth::service
