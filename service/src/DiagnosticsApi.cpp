#include "DiagnosticsApi.h"

#include "Secrets.h"

#include <ctime>

namespace quorlinth::service::diagnostics {

namespace {

std::string readableId(int64_t now) {
    std::time_t seconds = std::time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char date[16];
    std::strftime(date, sizeof date, "%y%m%d", &utc);
    return std::string(date) + "-" + randomText(6, "ABCDEFGHJKMNPQRSTUVWXYZ23456789");
}

} // namespace

ApiResponse upload(ServiceContext& context, const ApiRequest& request) {
    AccountIdentity account = context.tokens.requireAccount(request);
    Json body = parseBody(request);
    std::string platform = requireString(body, "platform", 32);
    std::string build = requireString(body, "build", 64);
    std::string device = requireString(body, "device", 256);
    auto text = field::string(body, "text");
    if (!text) fail(400, "invalid_request", Json{{"field", "text"}});
    if (text->size() > context.settings.diagnosticsTextLimit)
        fail(413, "text_too_large", Json{{"limit", context.settings.diagnosticsTextLimit}});
    int64_t now = context.clock.now();
    if (!context.diagnostics.allow("diagnostics:" + std::to_string(account.userId), now))
        fail(429, "rate_limited");
    std::string id = context.db.transaction([&] {
        std::string candidate;
        do {
            candidate = readableId(now);
        } while (context.db.queryOne("SELECT 1 FROM diagnostics WHERE id = ?", {candidate}));
        context.db.execute("INSERT INTO diagnostics (id, user_id, platform, build, device, text, created_at) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?)",
                           {candidate, account.userId, platform, build, device, *text, now});
        return candidate;
    });
    return ApiResponse::ok(Json{{"id", id}});
}

} // namespace quorlinth::service::diagnostics
