#include "base/MainQueue.h"
#include "controller/CloudRTCClient.h"

#include <gtest/gtest.h>

using namespace quorlinth;

// A frame the decoder delivers after the client tore down must not come back as a stale
// picture in the store the views read.
TEST(CloudRTCClientTeardown, DropsAFrameArrivingAfterTheStop) {
    RunLoop loop;
    CloudRTCClient::Options options;
    options.main = &loop;
    auto client = CloudRTCClient::create(CloudAccess{"http://127.0.0.1:9", "", "", ""}, "target",
                                         std::nullopt, std::nullopt, options);
    client->stop();
    auto ticker = loop.every(Millis(5), Millis(5), [] {});
    // Tearing down clears the store, which moves its version on.
    ASSERT_TRUE(loop.runUntil([&] { return client->frames.read().second > 0; }, Millis(10000)));

    RTCVideoFrame late;
    late.width = 2;
    late.height = 2;
    late.stride = 8;
    late.bgra = std::make_shared<const std::vector<uint8_t>>(16, 0);
    client->renderFrame(late);
    EXPECT_FALSE(client->frames.read().first);
}
