#include "Router.h"

#include "AuthApi.h"
#include "DeviceApi.h"
#include "DiagnosticsApi.h"
#include "SessionApi.h"

#include <cstdio>
#include <functional>

namespace quorlinth::service {

namespace {

using Handler = std::function<ApiResponse(ServiceContext&, const ApiRequest&, const std::string& id)>;

using Lane = Router::Lane;

struct Route {
    const char* method;
    std::vector<std::string> pattern; // "{id}" matches one non-empty segment
    Handler handler;
    Lane lane = Lane::worker;
    bool development = false;
};

template <class F> Handler plain(F f) {
    return [f](ServiceContext& c, const ApiRequest& r, const std::string&) { return f(c, r); };
}

ApiResponse devOutbox(ServiceContext& context, const ApiRequest&) {
    return ApiResponse::ok(Json{{"messages", context.outbox.messages()}});
}

// Moves the service clock forward so that tests can reach expiries.
ApiResponse devClock(ServiceContext& context, const ApiRequest& request) {
    Json body = parseBody(request);
    auto seconds = field::int64(body, "advance");
    if (!seconds || *seconds < 0 || *seconds > 10 * 365 * 86400)
        fail(400, "invalid_request", Json{{"field", "advance"}});
    context.clock.advance(*seconds);
    return ApiResponse::ok(Json{{"now", context.clock.now()}});
}

// Lets tests read a picture captcha without an eye.
ApiResponse devCaptcha(ServiceContext& context, const ApiRequest&, const std::string& id) {
    auto row = context.db.queryOne("SELECT answer FROM captchas WHERE id = ?", {id});
    if (!row) fail(404, "not_found");
    return ApiResponse::ok(Json{{"answer", row->text(0)}});
}

ApiResponse health(ServiceContext& context, const ApiRequest&) {
    return ApiResponse::ok(Json{{"status", "ok"}, {"now", context.clock.now()}});
}

const std::vector<Route>& routes() {
    static const std::vector<Route> table = {
        {"POST", {"v1", "auth", "login"}, plain(auth::login), Lane::hashing},
        {"POST", {"v1", "auth", "sms-code"}, plain(auth::smsCode)},
        {"POST", {"v1", "auth", "sms-login"}, plain(auth::smsLogin)},
        {"POST", {"v1", "auth", "password-setup"}, plain(auth::passwordSetup), Lane::hashing},
        {"POST", {"v1", "auth", "captcha"}, plain(auth::captcha)},
        {"POST", {"v1", "auth", "qr"}, plain(auth::qrCreate)},
        {"POST", {"v1", "auth", "qr", "poll"}, plain(auth::qrPoll)},
        {"POST", {"v1", "auth", "qr", "approve"}, plain(auth::qrApprove)},
        {"POST", {"v1", "auth", "logout"}, plain(auth::logout)},
        {"POST", {"v1", "auth", "logout-all"}, plain(auth::logoutEverywhere)},
        {"POST", {"v1", "devices"}, plain(devices::bind)},
        {"GET", {"v1", "devices"}, plain(devices::list)},
        {"DELETE", {"v1", "devices", "{id}"}, devices::remove},
        {"POST", {"v1", "devices", "{id}", "renew"}, devices::renew},
        {"POST", {"v1", "devices", "{id}", "heartbeat"}, devices::heartbeat},
        {"PUT", {"v1", "devices", "{id}", "pairing"}, devices::putPairing, Lane::hashing},
        {"DELETE", {"v1", "devices", "{id}", "pairing"}, devices::deletePairing},
        {"POST", {"v1", "diagnostics"}, plain(diagnostics::upload)},
        {"POST", {"v1", "sessions"}, plain(sessions::create)},
        {"POST", {"v1", "guest-sessions"}, plain(sessions::createGuest), Lane::hashing},
        {"GET", {"v1", "health"}, plain(health), Lane::network},
        {"GET", {"v1", "dev", "outbox"}, plain(devOutbox), Lane::worker, true},
        {"POST", {"v1", "dev", "clock"}, plain(devClock), Lane::worker, true},
        {"GET", {"v1", "dev", "captchas", "{id}"}, devCaptcha, Lane::worker, true},
    };
    return table;
}

bool matches(const Route& route, const std::vector<std::string>& segments, std::string& id) {
    if (route.pattern.size() != segments.size()) return false;
    for (size_t i = 0; i < segments.size(); ++i) {
        if (route.pattern[i] == "{id}") {
            if (segments[i].empty()) return false;
            id = segments[i];
        } else if (route.pattern[i] != segments[i]) {
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<std::string> pathSegments(const std::string& path) {
    std::vector<std::string> segments;
    if (path.empty() || path[0] != '/') return segments;
    size_t start = 1;
    while (true) {
        size_t end = path.find('/', start);
        segments.push_back(path.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return segments;
        start = end + 1;
    }
}

ApiResponse Router::dispatch(const ApiRequest& request) {
    auto segments = pathSegments(request.path);
    std::string allowed;
    for (const Route& route : routes()) {
        if (route.development && !context.settings.development) continue;
        std::string id;
        if (!matches(route, segments, id)) continue;
        if (request.method == route.method) return route.handler(context, request, id);
        allowed += (allowed.empty() ? "" : ", ") + std::string(route.method);
    }
    if (allowed.empty()) return errorResponse(404, "not_found");
    ApiResponse response = errorResponse(405, "method_not_allowed");
    response.allow = allowed;
    return response;
}

Router::Lane Router::laneOf(const std::string& method, const std::string& path) const {
    auto segments = pathSegments(path);
    for (const Route& route : routes()) {
        std::string id;
        if (route.method == method && matches(route, segments, id)) return route.lane;
    }
    return Lane::network; // 404 and 405 answers need nothing else
}

ApiResponse Router::handle(const ApiRequest& request) {
    try {
        return dispatch(request);
    } catch (const ApiFailure& failure) {
        ApiResponse response = errorResponse(failure.status, failure.code, failure.extra);
        response.retryAfter = failure.retryAfter;
        return response;
    } catch (const DatabaseUnavailable& error) {
        std::fprintf(stderr, "database unavailable on %s %s: %s\n", request.method.c_str(),
                     request.path.c_str(), error.what());
        return busyResponse(context.settings.retryAfter);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "internal error on %s %s: %s\n", request.method.c_str(), request.path.c_str(),
                     error.what());
        return errorResponse(500, "internal_error");
    }
}

} // namespace quorlinth::service
