#include "account/MacHTTP.h"

#include "net/Url.h"

#include <array>
#include <utility>

namespace quorlinth {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 14> kServiceErrorMessages{{
    {"invalid_credentials", "账号或密码不正确"},
    {"qr_expired", "二维码已过期，请刷新"},
    {"qr_used", "二维码已处理，请刷新"},
    {"code_invalid", "验证码不正确"},
    {"code_expired", "验证码已过期"},
    {"captcha_invalid", "图形验证码不正确，请刷新"},
    {"sms_too_frequent", "验证码发送过于频繁，请稍后重试"},
    {"device_limit", "账号绑定设备已达上限"},
    {"unauthorized", "登录已过期，请重新登录"},
    {"session_expired", "登录已失效，请重新登录"},
    {"password_setup_expired", "设置密码的验证已过期，请重新登录"},
    {"password_already_set", "账号已设置密码，请返回使用密码登录"},
    {"invalid_device", "服务端尚未启用 Mac 设备支持"},
    {"device_not_found", "找不到该设备，它可能已被移除；请刷新设备列表后重试"},
}};

// Refusals that say how long to wait.
std::optional<std::string> waitMessage(const std::string& code, const Json& body) {
    const char* what = code == "rate_limited"   ? "操作过于频繁"
                       : code == "service_busy" ? "服务繁忙"
                                                : nullptr;
    if (!what) return std::nullopt;
    int64_t wait = field::int64(body, "retry_after").value_or(0);
    return std::string(what) + (wait > 0 ? "，请 " + std::to_string(wait) + " 秒后重试" : "，请稍后重试");
}

// What the user sees when a body is not JSON at all (empty, HTML error page...).
constexpr const char* kUnreadableData = "未能读取数据，因为它的格式不正确。";

} // namespace

MacHTTP::MacHTTP(MacServiceConfig config, const Dispatcher& completions)
    : service(std::move(config)), completions(completions.handle()) {}

std::optional<std::string> MacHTTP::serviceErrorMessage(std::string_view code) {
    for (const auto& [key, text] : kServiceErrorMessages)
        if (key == code) return std::string(text);
    return std::nullopt;
}

MacResult<net::HttpRequest> MacHTTP::buildRequest(const MacServiceConfig& config, const std::string& base,
                                                  const std::string& path, const std::string& method,
                                                  const std::string& token, const std::optional<Json>& body) {
    std::string url = config.mapBase(base) + path;
    auto parsed = net::Url::parse(url);
    if (!parsed || (parsed->scheme != "http" && parsed->scheme != "https"))
        return MacFailure::message("服务地址无效");

    net::HttpRequest request;
    request.method = method;
    request.url = std::move(url);
    request.timeout = kTimeout;
    request.maxBodyBytes = kMaxResponseBytes;
    request.headers.emplace_back("Content-Type", "application/json");
    if (!token.empty()) request.headers.emplace_back("Authorization", "Bearer " + token);
    if (body) {
        try {
            request.body = body->dump();
        } catch (const Json::exception& error) {
            return MacFailure::other(std::string("未能写入数据，因为它的格式不正确。（") + error.what() +
                                     "）");
        }
    }
    return request;
}

MacResult<Json> MacHTTP::interpretResponse(const net::HttpResponse& response) {
    if (response.bodyTooLarge || response.body.size() > kMaxResponseBytes)
        return MacFailure::message("服务响应无效");
    Json parsed = Json::parse(response.body, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded()) return MacFailure::other(kUnreadableData);
    if (!parsed.is_object()) return MacFailure::message("服务响应无效");
    if (response.status >= 200 && response.status <= 299) return parsed;

    std::string code = field::string(parsed, "error", "request_failed");
    if (response.status == 401 && (code == "unauthorized" || code == "unauthorized_device"))
        return MacFailure::sessionExpired();
    if (auto text = serviceErrorMessage(code)) return MacFailure::message(*text);
    if (auto text = waitMessage(code, parsed)) return MacFailure::message(*text);
    return MacFailure::message("请求失败（" + std::to_string(response.status) + "，" + code + "）");
}

net::HttpClient& MacHTTP::session() {
    if (!client)
        client =
            std::make_unique<net::HttpClient>(net::HttpClient::Options{"quorlinth.http", service.caFile});
    return *client;
}

void MacHTTP::request(const std::string& base, const std::string& path, const std::string& method,
                      const std::string& token, const std::optional<Json>& body, Completion done) {
    auto target = completions;
    auto deliver = [target, done = std::move(done)](MacResult<Json> result) mutable {
        if (auto scheduler = target.lock())
            scheduler->post(
                [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
    };
    auto built = buildRequest(service, base, path, method, token, body);
    if (!built) return deliver(built.failure());
    std::string service = this->service.mapBase(base);
    session().send(std::move(built.value()), [deliver, service](Result<net::HttpResponse> answer) mutable {
        // Say which service could not be reached: a wrong address is the usual cause.
        if (!answer) return deliver(MacFailure::other(answer.error() + "（账号服务 " + service + "）"));
        deliver(interpretResponse(answer.value()));
    });
}

} // namespace quorlinth
