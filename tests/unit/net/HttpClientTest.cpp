#include "net/HttpClient.h"

#include "ScriptedHttpServer.h"

#include <future>
#include <gtest/gtest.h>

using namespace quorlinth;
using namespace quorlinth::net;
using quorlinth::testing::ScriptedHttpServer;
using namespace std::chrono_literals;

namespace {

Result<HttpResponse> sendAndWait(HttpClient& client, HttpRequest request) {
    std::promise<Result<HttpResponse>> promise;
    auto answer = promise.get_future();
    client.send(std::move(request),
                [&](Result<HttpResponse> result) { promise.set_value(std::move(result)); });
    // Generous: every request in these tests is on loopback or times out by design well before.
    EXPECT_EQ(answer.wait_for(30s), std::future_status::ready);
    return answer.get();
}

HttpRequest requestTo(const std::string& url, std::string method = "GET") {
    HttpRequest request;
    request.method = std::move(method);
    request.url = url;
    return request;
}

} // namespace

TEST(HttpClient, SendsTheRequestAsGivenAndReturnsTheAnswer) {
    ScriptedHttpServer server;
    server.respond(ScriptedHttpServer::response(201, R"({"ok":true})", "X-Extra: 1\r\n"));
    HttpClient client({});
    HttpRequest request = requestTo(server.baseURL() + "/v1/devices?x=1", "POST");
    request.headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer abc"}};
    request.body = R"({"name":"我的 Mac"})";

    auto result = sendAndWait(client, request);
    ASSERT_TRUE(result.ok()) << result.error();
    EXPECT_EQ(result.value().status, 201u);
    EXPECT_EQ(result.value().body, R"({"ok":true})");
    EXPECT_EQ(result.value().header("x-extra"), "1");
    EXPECT_FALSE(result.value().bodyTooLarge);

    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].target, "/v1/devices?x=1");
    EXPECT_EQ(seen[0].headers["content-type"], "application/json");
    EXPECT_EQ(seen[0].headers["authorization"], "Bearer abc");
    EXPECT_EQ(seen[0].headers["host"], "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_EQ(seen[0].body, R"({"name":"我的 Mac"})");
    // Nothing the caller did not ask for: no cookies, no client identification.
    EXPECT_EQ(seen[0].headers.count("cookie"), 0u);
    EXPECT_EQ(seen[0].headers.count("user-agent"), 0u);
}

TEST(HttpClient, NeverFollowsRedirectsNorReturnsCookies) {
    ScriptedHttpServer server;
    server.respond(ScriptedHttpServer::response(302, R"({"error":"moved"})",
                                                "Location: /elsewhere\r\nSet-Cookie: id=1\r\n"));
    server.respond(ScriptedHttpServer::response(200, "{}"));
    HttpClient client({});

    auto first = sendAndWait(client, requestTo(server.baseURL() + "/v1/devices"));
    ASSERT_TRUE(first.ok()) << first.error();
    EXPECT_EQ(first.value().status, 302u);
    EXPECT_EQ(first.value().body, R"({"error":"moved"})");
    auto second = sendAndWait(client, requestTo(server.baseURL() + "/v1/devices"));
    ASSERT_TRUE(second.ok());

    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].target, "/v1/devices");
    EXPECT_EQ(seen[1].headers.count("cookie"), 0u);
}

TEST(HttpClient, KeepsBodiesUpToTheLimitAndFlagsLargerOnes) {
    struct Case {
        size_t size;
        bool chunked;
        bool tooLarge;
    };
    const Case cases[] = {{1024, false, false}, {1025, false, true}, {1024, true, false}, {1025, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.size << (c.chunked ? " chunked" : " sized"));
        ScriptedHttpServer server;
        std::string body(c.size, 'x');
        if (c.chunked) {
            char length[32];
            std::snprintf(length, sizeof(length), "%zx", body.size());
            server.respond("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(length) +
                           "\r\n" + body + "\r\n0\r\n\r\n");
        } else {
            server.respond(ScriptedHttpServer::response(200, body));
        }
        HttpClient client({});
        HttpRequest request = requestTo(server.baseURL() + "/");
        request.maxBodyBytes = 1024;
        auto result = sendAndWait(client, request);
        ASSERT_TRUE(result.ok()) << result.error();
        EXPECT_EQ(result.value().status, 200u);
        EXPECT_EQ(result.value().bodyTooLarge, c.tooLarge);
        EXPECT_EQ(result.value().body.size(), c.tooLarge ? 0u : c.size);
    }
}

TEST(HttpClient, ReportsTransportFailuresAsText) {
    HttpClient client({});
    struct Case {
        std::string url;
        std::string method;
        std::string expectedStart;
    };
    // A port that was just free: nothing listens there any more.
    unsigned short closedPort;
    {
        ScriptedHttpServer probe;
        closedPort = probe.port();
    }
    const Case cases[] = {
        {"not a url", "GET", "请求地址无效"},
        {"ws://127.0.0.1:1/", "GET", "请求地址无效"},
        {"http://127.0.0.1:1/", "BREW", "不支持的请求方法"},
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/", "GET", "未能连接到服务器"},
        {"http://name.invalid/", "GET", "未能找到使用指定主机名的服务器"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto result = sendAndWait(client, requestTo(c.url, c.method));
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().rfind(c.expectedStart, 0), 0u) << result.error();
    }
}

TEST(HttpClient, RejectsGarbageInsteadOfAnHttpAnswer) {
    ScriptedHttpServer server;
    server.respond("SSH-2.0-OpenSSH_9.2\r\n\r\n");
    HttpClient client({});
    auto result = sendAndWait(client, requestTo(server.baseURL() + "/"));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().rfind("服务器返回了无效的响应", 0), 0u) << result.error();
}

TEST(HttpClient, TimesOutASilentServer) {
    ScriptedHttpServer server;
    server.respond(ScriptedHttpServer::kSilence);
    HttpClient client({});
    HttpRequest request = requestTo(server.baseURL() + "/");
    request.timeout = 300ms;
    auto result = sendAndWait(client, request);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().rfind("请求超时", 0), 0u) << result.error();
}

TEST(HttpClient, RefusesHeaderInjection) {
    HttpClient client({});
    HttpRequest request = requestTo("http://127.0.0.1:1/");
    request.headers = {{"Authorization", "Bearer a\r\nX-Evil: 1"}};
    auto result = sendAndWait(client, request);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().rfind("请求头无效", 0), 0u) << result.error();
}

TEST(HttpClient, VerifiesServerCertificates) {
    auto folder = quorlinth::testing::makeTemporaryFolder("quorlinth-tls-");
    auto files = quorlinth::testing::makeLoopbackCertificate(folder);
    ScriptedHttpServer server(files);
    std::string byAddress = server.baseURL() + "/v1/devices";
    std::string byName = "https://localhost:" + std::to_string(server.port()) + "/v1/devices";

    struct Case {
        const char* name;
        bool trustTestCA;
        std::string url;
        bool succeeds;
    };
    const Case cases[] = {
        {"trusted CA, matching address", true, byAddress, true},
        {"unknown CA", false, byAddress, false},
        {"trusted CA, name not in certificate", true, byName, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.succeeds) server.respond(ScriptedHttpServer::response(200, R"({"devices":[]})"));
        HttpClient::Options options;
        if (c.trustTestCA) options.extraCaFile = files.certificate;
        HttpClient client(options);
        auto result = sendAndWait(client, requestTo(c.url));
        if (c.succeeds) {
            ASSERT_TRUE(result.ok()) << result.error();
            EXPECT_EQ(result.value().body, R"({"devices":[]})");
        } else {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error().rfind("发生了 SSL 错误", 0), 0u) << result.error();
        }
    }
    std::filesystem::remove_all(folder);
}

TEST(HttpClient, ReportsAnUnreadableCAFileOnEachRequest) {
    HttpClient client({"quorlinth.http", "/nonexistent/ca.pem"});
    auto result = sendAndWait(client, requestTo("https://127.0.0.1:1/"));
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error().find("/nonexistent/ca.pem"), std::string::npos) << result.error();
}
