#include "capture/CodecFactories.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(RaisingLevel, RewritesOnlyASixCharacterProfileLevelId) {
    struct Case {
        const char* profileLevelId; // nullptr: no entry
        const char* expected;
    };
    const Case cases[] = {{"42e01f", "42e033"},
                          {"640c1f", "640c33"},
                          {"42e01", "42e01"},
                          {"42e01f0", "42e01f0"},
                          {nullptr, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profileLevelId ? c.profileLevelId : "none");
        RTCVideoCodecInfo info{"H264", {{"packetization-mode", "1"}}};
        if (c.profileLevelId) info.parameters["profile-level-id"] = c.profileLevelId;
        RTCVideoCodecInfo raised = raisingLevel(info);
        EXPECT_EQ(raised.name, "H264");
        EXPECT_EQ(raised.parameters.at("packetization-mode"), "1");
        if (c.expected)
            EXPECT_EQ(raised.parameters.at("profile-level-id"), c.expected);
        else
            EXPECT_EQ(raised, info);
    }
}

TEST(CodecFactories, AdvertiseLevel51AndCompareNamesAsEachSideShould) {
    MacScreenEncoderFactory encoders;
    AVCDecoderFactory decoders;
    for (const auto& list : {encoders.supportedCodecs(), decoders.supportedCodecs()}) {
        ASSERT_FALSE(list.empty());
        for (const auto& info : list) {
            EXPECT_EQ(info.name, "H264");
            EXPECT_EQ(info.parameters.at("profile-level-id").substr(4), "33");
        }
    }
    EXPECT_TRUE(encoders.canCreateEncoder({"H264", {}}));
    EXPECT_FALSE(encoders.canCreateEncoder({"h264", {}}));
    EXPECT_FALSE(encoders.canCreateEncoder({"VP8", {}}));
    EXPECT_TRUE(decoders.canCreateDecoder({"h264", {}}));
    EXPECT_FALSE(decoders.canCreateDecoder({"VP8", {}}));
}
