#include "account/MacHTTP.h"

#include "ScriptedHttpServer.h"
#include "base/MainQueue.h"

#include <gtest/gtest.h>

using namespace quorlinth;
using quorlinth::testing::ScriptedHttpServer;
using namespace std::chrono_literals;

namespace {

MacServiceConfig twoBases() {
    MacServiceConfig config;
    config.accountBaseURL = "https://account.example";
    config.apiBaseURL = "https://api.example";
    return config;
}

net::HttpResponse answer(unsigned status, std::string body, bool tooLarge = false) {
    net::HttpResponse response;
    response.status = status;
    response.body = std::move(body);
    response.bodyTooLarge = tooLarge;
    return response;
}

std::string describe(const MacResult<Json>& result) {
    if (result) return "object " + result.value().dump();
    switch (result.failure().kind()) {
    case MacFailure::Kind::message:
        return "message " + result.failure().localizedDescription();
    case MacFailure::Kind::sessionExpired:
        return "sessionExpired";
    case MacFailure::Kind::other:
        return "other " + result.failure().localizedDescription();
    case MacFailure::Kind::cancelled:
        return "cancelled";
    }
    return "?";
}

} // namespace

TEST(MacHTTP, MapsOnlyTheExactAccountBaseToTheApiBase) {
    struct Case {
        std::string base;
        std::string expectedURL;
    };
    const Case cases[] = {
        {"https://account.example", "https://api.example/v1/devices"},
        {"https://account.example/", "https://account.example//v1/devices"},
        {"http://account.example", "http://account.example/v1/devices"},
        {"https://ACCOUNT.example", "https://ACCOUNT.example/v1/devices"},
        {"https://api.example", "https://api.example/v1/devices"},
        {"http://127.0.0.1:9", "http://127.0.0.1:9/v1/devices"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        auto request = MacHTTP::buildRequest(twoBases(), c.base, "/v1/devices", "GET", "", std::nullopt);
        ASSERT_TRUE(request.ok());
        EXPECT_EQ(request.value().url, c.expectedURL);
    }
}

TEST(MacHTTP, RefusesBasesThatMakeNoValidURL) {
    for (const std::string base :
         {"", "api.example", "ftp://api.example", "https://api example", "https://"}) {
        SCOPED_TRACE(base);
        auto request = MacHTTP::buildRequest(twoBases(), base, "/v1/devices", "GET", "", std::nullopt);
        ASSERT_FALSE(request.ok());
        EXPECT_EQ(request.failure(), MacFailure::message("服务地址无效"));
    }
}

TEST(MacHTTP, SetsOnlyContentTypeAndBearerHeaders) {
    auto without =
        MacHTTP::buildRequest(twoBases(), "https://api.example", "/v1/devices", "GET", "", std::nullopt);
    ASSERT_TRUE(without.ok());
    EXPECT_EQ(without.value().headers, (net::HttpHeaders{{"Content-Type", "application/json"}}));
    EXPECT_FALSE(without.value().body.has_value());
    EXPECT_EQ(without.value().timeout, 15'000ms);
    EXPECT_EQ(without.value().maxBodyBytes, 524'288u);

    auto with = MacHTTP::buildRequest(twoBases(), "https://api.example", "/v1/auth/logout", "POST", "tok",
                                      Json::object());
    ASSERT_TRUE(with.ok());
    EXPECT_EQ(with.value().method, "POST");
    EXPECT_EQ(with.value().headers,
              (net::HttpHeaders{{"Content-Type", "application/json"}, {"Authorization", "Bearer tok"}}));
    EXPECT_EQ(with.value().body, "{}");
}

TEST(MacHTTP, ReportsABodyThatCannotBeSerialised) {
    Json body{{"name", std::string("\xff\xfe")}};
    auto request = MacHTTP::buildRequest(twoBases(), "https://api.example", "/v1/devices", "POST", "", body);
    ASSERT_FALSE(request.ok());
    EXPECT_EQ(request.failure().kind(), MacFailure::Kind::other);
}

TEST(MacHTTP, AppliesTheResponseRulesInOrder) {
    struct Case {
        const char* name;
        net::HttpResponse response;
        std::string expected;
    };
    const std::string exactlyAtLimit = "{\"pad\":\"" + std::string(524'288 - 10, 'x') + "\"}";
    ASSERT_EQ(exactlyAtLimit.size(), 524'288u);
    const Case cases[] = {
        {"2xx object", answer(200, R"({"a":1})"), R"(object {"a":1})"},
        {"201 object", answer(201, R"({})"), "object {}"},
        {"body over the limit", answer(200, "", true), "message 服务响应无效"},
        {"body exactly at the limit", answer(200, exactlyAtLimit),
         "object " + Json::parse(exactlyAtLimit).dump()},
        {"one byte over the limit", answer(200, exactlyAtLimit + " "), "message 服务响应无效"},
        {"empty 204", answer(204, ""), "other 未能读取数据，因为它的格式不正确。"},
        {"html error page", answer(502, "<html>bad gateway</html>"),
         "other 未能读取数据，因为它的格式不正确。"},
        {"array with 200", answer(200, "[1,2]"), "message 服务响应无效"},
        {"string with 200", answer(200, "\"ok\""), "message 服务响应无效"},
        {"401 unauthorized", answer(401, R"({"error":"unauthorized"})"), "sessionExpired"},
        {"401 unauthorized_device", answer(401, R"({"error":"unauthorized_device"})"), "sessionExpired"},
        {"403 unauthorized_device", answer(403, R"({"error":"unauthorized_device"})"),
         "message 请求失败（403，unauthorized_device）"},
        {"403 unauthorized uses the table", answer(403, R"({"error":"unauthorized"})"),
         "message 登录已过期，请重新登录"},
        {"401 invalid_credentials", answer(401, R"({"error":"invalid_credentials"})"),
         "message 账号或密码不正确"},
        {"500 without error", answer(500, "{}"), "message 请求失败（500，request_failed）"},
        {"401 without error", answer(401, "{}"), "message 请求失败（401，request_failed）"},
        {"error of wrong type", answer(400, R"({"error":42})"), "message 请求失败（400，request_failed）"},
        {"302 with object", answer(302, R"({"error":"moved"})"), "message 请求失败（302，moved）"},
        {"unknown code", answer(429, R"({"error":"slow_down"})"), "message 请求失败（429，slow_down）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(describe(MacHTTP::interpretResponse(c.response)), c.expected);
    }
}

TEST(MacHTTP, MapsEveryKnownServiceErrorCode) {
    const std::pair<const char*, const char*> table[] = {
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
    };
    for (const auto& [code, text] : table) {
        SCOPED_TRACE(code);
        EXPECT_EQ(MacHTTP::serviceErrorMessage(code), text);
        auto result = MacHTTP::interpretResponse(answer(400, Json{{"error", code}}.dump()));
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.failure(), MacFailure::message(text));
    }
    EXPECT_FALSE(MacHTTP::serviceErrorMessage("unauthorized_device").has_value());
    EXPECT_EQ(MacFailure::sessionExpired().localizedDescription(), "登录已过期，请重新登录");
}

TEST(MacHTTP, TalksToAServerAndCompletesOnTheGivenQueue) {
    RunLoop loop;
    ScriptedHttpServer server;
    server.respond(ScriptedHttpServer::response(302, R"({"error":"moved"})", "Location: /v1/elsewhere\r\n"));
    server.respond(ScriptedHttpServer::response(200, "{\"pad\":\"" + std::string(524'288, 'x') + "\"}"));
    server.respond(ScriptedHttpServer::response(200, R"({"devices":[]})"));
    MacHTTP http(MacServiceConfig::single(server.baseURL()), loop);

    std::vector<std::string> outcomes;
    bool onLoop = true;
    auto collect = [&](MacResult<Json> result) {
        onLoop = onLoop && loop.isCurrent();
        outcomes.push_back(describe(result));
    };
    // One at a time so that the scripted answers pair with the requests in order.
    http.request(server.baseURL(), "/v1/devices", "GET", "", std::nullopt, collect);
    ASSERT_TRUE(loop.runUntil([&] { return outcomes.size() == 1; }, 30s));
    http.request(server.baseURL(), "/v1/devices", "GET", "tok", std::nullopt, collect);
    ASSERT_TRUE(loop.runUntil([&] { return outcomes.size() == 2; }, 30s));
    http.request(server.baseURL(), "/v1/devices/D1/heartbeat", "POST", "dev", Json{{"webrtc", true}},
                 collect);
    ASSERT_TRUE(loop.runUntil([&] { return outcomes.size() == 3; }, 30s));
    http.request("nonsense", "/v1/devices", "GET", "", std::nullopt, collect);
    ASSERT_TRUE(loop.runUntil([&] { return outcomes.size() == 4; }, 30s));

    EXPECT_EQ(outcomes, (std::vector<std::string>{"message 请求失败（302，moved）", "message 服务响应无效",
                                                  R"(object {"devices":[]})", "message 服务地址无效"}));
    EXPECT_TRUE(onLoop);
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u); // the redirect was not followed
    EXPECT_EQ(seen[0].headers["content-type"], "application/json");
    EXPECT_EQ(seen[0].headers.count("authorization"), 0u);
    EXPECT_EQ(seen[1].headers["authorization"], "Bearer tok");
    EXPECT_EQ(seen[2].target, "/v1/devices/D1/heartbeat");
    EXPECT_EQ(Json::parse(seen[2].body), (Json{{"webrtc", true}}));
}
