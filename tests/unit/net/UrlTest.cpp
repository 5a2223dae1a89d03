#include "net/Url.h"

#include <gtest/gtest.h>

using namespace quorlinth::net;

TEST(Url, SplitsAbsoluteUrls) {
    struct Case {
        const char* text;
        const char* scheme;
        const char* host;
        const char* port;
        const char* target;
        const char* hostHeader;
    };
    const Case cases[] = {
        {"http://127.0.0.1:47180/v1/devices", "http", "127.0.0.1", "47180", "/v1/devices", "127.0.0.1:47180"},
        {"https://Example.COM/v1/auth/login", "https", "example.com", "443", "/v1/auth/login", "example.com"},
        {"HTTPS://example.com:443", "https", "example.com", "443", "/", "example.com"},
        {"ws://[::1]:8080/v1/signal?x=1", "ws", "::1", "8080", "/v1/signal?x=1", "[::1]:8080"},
        {"wss://host.example?q", "wss", "host.example", "443", "/?q", "host.example"},
        {"http://localhost/a%20b", "http", "localhost", "80", "/a%20b", "localhost"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto url = Url::parse(c.text);
        ASSERT_TRUE(url.has_value());
        EXPECT_EQ(url->scheme, c.scheme);
        EXPECT_EQ(url->host, c.host);
        EXPECT_EQ(url->port, c.port);
        EXPECT_EQ(url->target, c.target);
        EXPECT_EQ(url->hostHeader(), c.hostHeader);
    }
}

TEST(Url, RefusesMalformedOrForeignUrls) {
    const char* cases[] = {
        "",
        "127.0.0.1:47180/v1",
        "ftp://example.com/",
        "http://",
        "http://:80/",
        "http://example.com:0/",
        "http://example.com:65536/",
        "http://example.com:12a/",
        "http://user:pw@example.com/",
        "http://exa mple.com/",
        "http://example.com/a b",
        "http://example.com/a\r\nX: y",
        "http://example.com/#fragment",
        "http://[::1/",
        "http://[zz]/",
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(Url::parse(text).has_value());
    }
}
