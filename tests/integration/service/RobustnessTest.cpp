#include "ServiceFixture.h"

#include <fstream>

namespace quorlinth::testing {
namespace {

using Robustness = ServiceTest;
using RobustnessOfStorage = OnEachStorage<ServiceTest>;

std::string statusLineOf(const std::string& response) {
    return response.substr(0, response.find("\r\n"));
}

std::string httpRequest(const std::string& method, const std::string& path, const std::string& body,
                        const std::string& extraHeaders = "") {
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n" +
           extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

TEST_F(Robustness, BadRequestsGetAJsonErrorAndTheServiceKeepsAnswering) {
    std::string nested(20000, '[');
    static const char kNoise[] = "\x16\x03\x01\x00\xff\x01\x00\x00\x00\x00\r\n\r\n";
    struct Case {
        const char* name;
        std::string bytes;
        const char* statusLine;
        const char* error;
    } cases[] = {
        {"not HTTP", "GARBAGE GARBAGE GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", "bad_request"},
        {"binary noise", std::string(kNoise, sizeof kNoise - 1), "HTTP/1.1 400 Bad Request", "bad_request"},
        {"huge header", "GET /v1/health HTTP/1.1\r\nX-Fill: " + std::string(20000, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large", "header_too_large"},
        {"declared body too large", httpRequest("POST", "/v1/auth/login", std::string(70000, ' ')),
         "HTTP/1.1 413 Payload Too Large", "body_too_large"},
        {"chunked body too large",
         "POST /v1/auth/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n11170\r\n" +
             std::string(70000, ' ') + "\r\n0\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large", "body_too_large"},
        {"broken JSON", httpRequest("POST", "/v1/auth/login", "{\"username\": "), "HTTP/1.1 400 Bad Request",
         "invalid_json"},
        {"JSON array", httpRequest("POST", "/v1/auth/login", "[1,2]"), "HTTP/1.1 400 Bad Request",
         "invalid_json"},
        {"deep nesting", httpRequest("POST", "/v1/auth/login", nested), "HTTP/1.1 400 Bad Request",
         "invalid_json"},
        {"invalid UTF-8",
         httpRequest("POST", "/v1/auth/login", "{\"username\": \"\xff\xfe\", \"password\": \"x\"}"),
         "HTTP/1.1 400 Bad Request", "invalid_json"},
        {"empty body", httpRequest("POST", "/v1/auth/login", ""), "HTTP/1.1 400 Bad Request", "invalid_json"},
        {"wrong type", httpRequest("POST", "/v1/auth/login", "{\"username\": 5, \"password\": \"x\"}"),
         "HTTP/1.1 400 Bad Request", "invalid_request"},
        {"unknown path", httpRequest("GET", "/v1/nowhere", ""), "HTTP/1.1 404 Not Found", "not_found"},
        {"empty segment", httpRequest("GET", "/v1//devices", ""), "HTTP/1.1 404 Not Found", "not_found"},
        {"wrong method", httpRequest("PATCH", "/v1/devices", "{}"), "HTTP/1.1 405 Method Not Allowed",
         "method_not_allowed"},
        {"signal without upgrade", httpRequest("GET", "/v1/signal", ""), "HTTP/1.1 426 Upgrade Required",
         "upgrade_required"},
        {"dev endpoint is not routed by a device id", httpRequest("DELETE", "/v1/devices/x/y/z", ""),
         "HTTP/1.1 404 Not Found", "not_found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string response = client->rawExchange(c.bytes);
        EXPECT_EQ(c.statusLine, statusLineOf(response));
        std::string body = response.substr(response.find("\r\n\r\n") + 4);
        auto parsed = parseJsonObject(body);
        ASSERT_TRUE(parsed.has_value()) << response.substr(0, 300);
        EXPECT_EQ(c.error, field::string(*parsed, "error", ""));
        ASSERT_EQ(200, client->request("GET", "/v1/health").status);
    }
    EXPECT_TRUE(service->isRunning());
}

TEST_F(Robustness, WrongMethodNamesTheAllowedOnes) {
    HttpReply reply = client->request("GET", "/v1/auth/login");
    EXPECT_EQ(405, reply.status);
    EXPECT_EQ("POST", reply.headers["allow"]);
    HttpReply devices = client->request("PUT", "/v1/devices", "", Json::object());
    EXPECT_EQ("POST, GET", devices.headers["allow"]);
}

TEST_F(Robustness, KeepAliveServesPipelinedRequestsInOrder) {
    std::string two = "GET /v1/health HTTP/1.1\r\nHost: x\r\n\r\nGET /v1/nowhere HTTP/1.1\r\nHost: x\r\n"
                      "Connection: close\r\n\r\n";
    std::string response = client->rawExchange(two);
    size_t first = response.find("HTTP/1.1 200 OK");
    size_t second = response.find("HTTP/1.1 404 Not Found");
    EXPECT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, second);
    EXPECT_LT(first, second);
}

TEST_F(Robustness, AnswersExpectContinueBeforeTheBody) {
    std::string body = dumpJson(Json{{"username", kUser}, {"password", kPassword}});
    std::string response =
        client->rawExchange(httpRequest("POST", "/v1/auth/login", body, "Expect: 100-continue\r\n"));
    EXPECT_EQ(0u, response.find("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK")) << response.substr(0, 200);
}

TEST_F(Robustness, SilentConnectionsDoNotHoldUpOthers) {
    std::vector<std::unique_ptr<HttpClient>> idle;
    std::vector<std::thread> silent;
    for (int i = 0; i < 20; ++i)
        silent.emplace_back(
            [this] { client->rawExchange("POST /v1/auth/login HTTP/1.1\r\n", std::chrono::seconds(2)); });
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(200, client->request("GET", "/v1/health").status);
    for (auto& thread : silent)
        thread.join();
    EXPECT_TRUE(service->isRunning());
}

TEST_P(RobustnessOfStorage, DataSurvivesARestart) {
    std::string token = signIn();
    BoundDevice mac = bind(token, "INSTALL-1");
    service.reset();
    ServiceProcess::Options options;
    if (!databaseUrl().empty()) options.databaseUrl = databaseUrl();
    service = std::make_unique<ServiceProcess>(dir, options);
    ASSERT_TRUE(service->started());
    client = std::make_unique<HttpClient>(service->port());
    EXPECT_EQ("书房的 Mac", field::string(deviceInList(token, mac.id), "name", ""));
    EXPECT_EQ(200, heartbeat(mac, true, true, true).status);
}

INSTANTIATE_TEST_SUITE_P(Backend, RobustnessOfStorage, kEachStorage, storageName);

class ProductionMode : public ServiceTest {
protected:
    void SetUp() override { startService(ServiceProcess::Options{false, {}, {}, {}}); }
};

TEST_F(ProductionMode, HasNoDevelopmentEndpointsAndSendsNoSms) {
    EXPECT_EQ(404, client->request("GET", "/v1/dev/outbox").status);
    EXPECT_EQ(404, client->request("POST", "/v1/dev/clock", "", Json{{"advance", 100}}).status);
    Json captcha = client->request("POST", "/v1/auth/captcha", "", Json::object()).json();
    EXPECT_EQ(404,
              client->request("GET", "/v1/dev/captchas/" + field::string(captcha, "captcha_id", "")).status);
    HttpReply sms = client->request("POST", "/v1/auth/sms-code", "",
                                    Json{{"phone", "13900000002"},
                                         {"purpose", "login"},
                                         {"captcha_id", field::string(captcha, "captcha_id", "")},
                                         {"captcha_answer", "00000"}});
    EXPECT_EQ(503, sms.status);
    EXPECT_EQ("sms_unavailable", sms.error());
    EXPECT_FALSE(signIn().empty()) << "development-cost hashes still verify";
}

class Tls : public ServiceTest {
protected:
    void SetUp() override {
        std::filesystem::path d = dir.path();
        {
            std::ofstream ext(d / "ext.cnf");
            ext << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
        }
        std::string log = (d / "openssl.log").string();
        auto openssl = [&](std::vector<std::string> arguments) {
            arguments.insert(arguments.begin(), "openssl");
            return runProgram(arguments, log);
        };
        ASSERT_EQ(0, openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                              "-nodes", "-keyout", (d / "ca.key").string(), "-out", (d / "ca.pem").string(),
                              "-days", "1", "-subj", "/CN=Quorlinth Test CA"}));
        ASSERT_EQ(0, openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                              "-keyout", (d / "server.key").string(), "-out", (d / "server.csr").string(),
                              "-subj", "/CN=localhost"}));
        ASSERT_EQ(0,
                  openssl({"x509", "-req", "-in", (d / "server.csr").string(), "-CA", (d / "ca.pem").string(),
                           "-CAkey", (d / "ca.key").string(), "-CAcreateserial", "-out",
                           (d / "server.pem").string(), "-days", "1", "-extfile", (d / "ext.cnf").string()}));
        ServiceProcess::Options options;
        options.tlsCertificate = d / "server.pem";
        options.tlsKey = d / "server.key";
        startService(options, d / "ca.pem");
    }
};

TEST_F(Tls, ServesHttpsVerifiedAgainstTheTestCa) {
    EXPECT_EQ(0u, service->baseUrl().rfind("https://127.0.0.1:", 0));
    std::string token = signIn();
    ASSERT_FALSE(token.empty());
    EXPECT_FALSE(bind(token, "TLS-MAC").id.empty());

    std::string plain = HttpClient(service->port()).rawExchange(httpRequest("GET", "/v1/health", ""));
    EXPECT_EQ(std::string::npos, plain.find("200 OK")) << "plain HTTP is not served on a TLS port";
    HttpReply untrusted = HttpClient(service->port(), dir.path() / "server.pem").request("GET", "/v1/health");
    EXPECT_EQ(0, untrusted.status) << "a client that does not trust the CA gets no answer";
    EXPECT_EQ(200, client->request("GET", "/v1/health").status);
}

} // namespace
} // namespace quorlinth::testing
