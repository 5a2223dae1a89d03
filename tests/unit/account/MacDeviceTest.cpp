#include "account/MacDevice.h"

#include <functional>
#include <gtest/gtest.h>

using namespace quorlinth;

TEST(MacDevice, DerivesTheStatusText) {
    struct Case {
        bool online;
        bool captureReady;
        bool webrtc;
        const char* platform;
        bool inputReady;
        const char* expected;
    };
    const Case cases[] = {
        {false, true, true, "ios", true, "离线 · 仅观看"},
        {false, false, false, "macos", true, "离线"},
        {false, true, true, "android", false, "离线"},
        {true, true, true, "ios", false, "在线 · 可观看"},
        {true, true, true, "macos", false, "在线 · 可观看（对方未允许远程鼠标和键盘）"},
        {true, true, true, "macos", true, "在线 · 可远控"},
        {true, true, true, "android", false, "在线 · 可远控"},
        {true, true, false, "macos", true, "在线 · 未开启共享（需在该 Mac 上点“启动屏幕共享”）"},
        {true, false, true, "ios", true, "在线 · 未开启屏幕广播"},
        {true, false, false, "android", true, "在线 · 未开启共享"},
        {true, true, true, "MACOS", false, "在线 · 可远控"},
        {true, true, true, "linux", false, "在线 · 可观看（对方未允许远程鼠标和键盘）"},
        {true, true, false, "linux", true, "在线 · 未开启共享（需在该电脑上点“启动屏幕共享”）"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.platform << " online=" << c.online << " capture=" << c.captureReady
                     << " webrtc=" << c.webrtc << " input=" << c.inputReady);
        MacDevice device{"id", "name", c.platform, c.online, {c.captureReady, c.inputReady, c.webrtc}, {}};
        EXPECT_EQ(device.statusText(), c.expected);
    }
}

TEST(MacDevice, DecodesDeviceListEntries) {
    Json entry = Json::parse(R"({"id":"D1","name":"书房","platform":"macos","online":true,
        "capabilities":{"capture_ready":true,"input_ready":false,"webrtc":true},"extra":1})");
    auto device = MacDevice::fromJson(entry);
    ASSERT_TRUE(device.has_value());
    EXPECT_EQ(*device, (MacDevice{"D1", "书房", "macos", true, {true, false, true}, std::nullopt}));

    entry["listed"] = false;
    EXPECT_EQ(MacDevice::fromJson(entry)->listed, false);
    entry["listed"] = nullptr;
    EXPECT_EQ(MacDevice::fromJson(entry)->listed, std::nullopt);

    struct Case {
        const char* name;
        std::function<void(Json&)> damage;
    };
    const Case broken[] = {
        {"id missing", [](Json& e) { e.erase("id"); }},
        {"name of wrong type", [](Json& e) { e["name"] = 7; }},
        {"online as string", [](Json& e) { e["online"] = "true"; }},
        {"capabilities missing", [](Json& e) { e.erase("capabilities"); }},
        {"capability missing", [](Json& e) { e["capabilities"].erase("webrtc"); }},
        {"capability of wrong type", [](Json& e) { e["capabilities"]["capture_ready"] = 1; }},
        {"listed of wrong type", [](Json& e) { e["listed"] = "no"; }},
        {"not an object", [](Json& e) { e = Json::array(); }},
    };
    for (const auto& c : broken) {
        SCOPED_TRACE(c.name);
        Json damaged = entry;
        c.damage(damaged);
        EXPECT_FALSE(MacDevice::fromJson(damaged).has_value());
        EXPECT_FALSE(MacDevice::listFromJson(Json::array({entry, damaged})).ok());
    }
    EXPECT_FALSE(MacDevice::listFromJson(Json::object()).ok());
    EXPECT_TRUE(MacDevice::listFromJson(Json::array()).value().empty());
}
