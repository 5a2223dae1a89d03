#include "IceConfig.h"
#include "Router.h"
#include "Secrets.h"
#include "ServiceOptions.h"

#include <gtest/gtest.h>

namespace quorlinth::service {
namespace {

TEST(ServeOptions, ParsesTheCommandLine) {
    auto options = parseServeOptions({"--listen", "127.0.0.1:0", "--db", "/tmp/x.sqlite", "--dev",
                                      "--tls-cert", "c.pem", "--tls-key", "k.pem", "--releases", "/srv/www"});
    ASSERT_TRUE(options.ok()) << options.error();
    EXPECT_EQ("127.0.0.1", options.value().listen.host);
    EXPECT_EQ(0, options.value().listen.port);
    EXPECT_TRUE(options.value().development);
    ASSERT_TRUE(options.value().tls.has_value());
    EXPECT_EQ("k.pem", options.value().tls->privateKey);
    EXPECT_EQ("/srv/www", options.value().releases.value_or(""));
    EXPECT_EQ("::1", parseListenAddress("[::1]:8443").value().host);
}

TEST(ServeOptions, RejectsIncompleteOrUnknownArguments) {
    std::vector<std::vector<std::string>> bad = {
        {},
        {"--listen", "127.0.0.1:0"},
        {"--db", "x"},
        {"--listen", "127.0.0.1", "--db", "x"},
        {"--listen", "127.0.0.1:70000", "--db", "x"},
        {"--listen", "127.0.0.1:0", "--db", "x", "--tls-cert", "c"},
        {"--listen", "127.0.0.1:0", "--db", "x", "--verbose"},
        {"--listen", "127.0.0.1:0", "--db"},
        {"--listen", "127.0.0.1:0", "--db", "x", "--releases"},
        {"--listen", "127.0.0.1:0", "--db", "x", "--bus", "http://localhost:6379"},
        {"--listen", "127.0.0.1:0", "--db", "x", "--bus"},
        {"--listen", "127.0.0.1:0", "--db", "x", "--database", "postgresql:///q", "--secret-file", "k"},
        {"--listen", "127.0.0.1:0", "--database", "postgresql:///q"},
        {"--listen", "127.0.0.1:0", "--database", "mysql://h/q", "--secret-file", "k"},
        {"--listen", "127.0.0.1:0", "--database", "postgresql://u:pw@h/q", "--secret-file", "k"},
        {"--listen", "127.0.0.1:0", "--database", "postgresql://h/q?password=pw", "--secret-file", "k"},
    };
    for (const auto& arguments : bad) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        EXPECT_FALSE(parseServeOptions(arguments).ok());
    }
    auto bus = parseServeOptions({"--listen", "127.0.0.1:0", "--db", "x", "--bus", "http://h"});
    EXPECT_NE(std::string::npos, bus.error().find("--bus"));
    auto user = parseAddUserOptions({"--db", "x", "alice", "pw", "--phone", "13800000000"});
    ASSERT_TRUE(user.ok());
    EXPECT_EQ("13800000000", user.value().phone);
    EXPECT_FALSE(parseAddUserOptions({"--db", "x", "alice"}).ok());
    EXPECT_FALSE(parseAddUserOptions({"--db", "x", "--database", "postgresql:///q", "alice", "pw"}).ok());
    auto onServer = parseAddUserOptions({"--database", "postgresql://u@h:5432/q", "alice", "pw"});
    ASSERT_TRUE(onServer.ok()) << onServer.error();
    EXPECT_EQ("postgresql://u@h:5432/q", onServer.value().database.url);
}

TEST(ServeOptions, NamesTheSharedDatabaseAndBus) {
    auto single = parseServeOptions({"--listen", "127.0.0.1:0", "--db", "/tmp/x.sqlite"});
    ASSERT_TRUE(single.ok()) << single.error();
    EXPECT_FALSE(single.value().database.isServer());
    EXPECT_EQ("/tmp/x.sqlite.key", single.value().secretFile);
    EXPECT_EQ("", single.value().settings.busUrl);

    auto cluster = parseServeOptions({"--listen", "127.0.0.1:0", "--database", "postgres://q@/q?host=/run/pg",
                                      "--secret-file", "/etc/q.key", "--bus", "redis://127.0.0.1:6379"});
    ASSERT_TRUE(cluster.ok()) << cluster.error();
    EXPECT_TRUE(cluster.value().database.isServer());
    EXPECT_EQ("postgres://q@/q?host=/run/pg", cluster.value().database.url);
    EXPECT_EQ("/etc/q.key", cluster.value().secretFile);
    EXPECT_EQ("redis://127.0.0.1:6379", cluster.value().settings.busUrl);
}

TEST(IceConfig, SignsTurnCredentialsAndPassesStaticOnes) {
    auto config = IceConfig::parse(R"({"servers": [
        {"urls": ["stun:s:3478"]},
        {"urls": ["turn:t:3478?transport=udp", "turn:t:3478?transport=tcp"], "secret": "Jefe", "ttl": 100},
        {"urls": ["turns:u:5349"], "username": "fixed", "credential": "pw"}]})");
    ASSERT_TRUE(config.ok()) << config.error();
    Json servers = config.value().serversFor("device-1", 1000);
    ASSERT_EQ(3u, servers.size());
    EXPECT_EQ((Json{{"urls", {"stun:s:3478"}}}), servers[0]);
    EXPECT_EQ("1100:device-1", servers[1]["username"]);
    EXPECT_EQ(hmacSha1Base64("Jefe", "1100:device-1"), servers[1]["credential"]);
    EXPECT_EQ(2u, servers[1]["urls"].size());
    EXPECT_EQ("fixed", servers[2]["username"]);

    for (const char* bad : {"[]", "{}", R"({"servers": [{}]})", R"({"servers": [{"urls": [1]}]})",
                            R"({"servers": [{"urls": ["turn:x"], "ttl": 0}]})"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(IceConfig::parse(bad).ok());
    }
}

TEST(Router, SplitsPathsKeepingEmptySegments) {
    EXPECT_EQ((std::vector<std::string>{"v1", "devices", "abc", "renew"}),
              pathSegments("/v1/devices/abc/renew"));
    EXPECT_EQ((std::vector<std::string>{"v1", "", "devices"}), pathSegments("/v1//devices"));
    EXPECT_EQ((std::vector<std::string>{"v1", "devices", ""}), pathSegments("/v1/devices/"));
    EXPECT_TRUE(pathSegments("v1/devices").empty());
}

} // namespace
} // namespace quorlinth::service
