#include "base/Encoding.h"

#include <gtest/gtest.h>

using namespace quorlinth;

TEST(Hex, EncodesInEitherCaseAndDecodesBoth) {
    Bytes bytes{0x00, 0x9f, 0xab, 0xff};
    EXPECT_EQ(hexEncode(bytes), "009fabff");
    EXPECT_EQ(hexEncode(bytes, LetterCase::upper), "009FABFF");
    EXPECT_EQ(hexDecode("009fabff"), bytes);
    EXPECT_EQ(hexDecode("009FabFF"), bytes);
    EXPECT_EQ(hexDecode(""), Bytes{});
}

TEST(Hex, RejectsOddLengthAndForeignCharacters) {
    for (const char* text : {"0", "abc", "zz", "0x12", "12 3"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(hexDecode(text));
    }
}

TEST(Base64, MatchesPublishedVectors) {
    // RFC 4648 section 10.
    struct Case {
        const char* plain;
        const char* encoded;
    };
    const Case cases[] = {{"", ""},
                          {"f", "Zg=="},
                          {"fo", "Zm8="},
                          {"foo", "Zm9v"},
                          {"foob", "Zm9vYg=="},
                          {"fooba", "Zm9vYmE="},
                          {"foobar", "Zm9vYmFy"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plain);
        EXPECT_EQ(base64Encode(toBytes(c.plain)), c.encoded);
        EXPECT_EQ(base64Decode(c.encoded), toBytes(c.plain));
    }
}

TEST(Base64, RoundTripsEveryByteWithoutLineBreaks) {
    Bytes all;
    for (int i = 0; i < 256; ++i)
        all.push_back(uint8_t(i));
    std::string encoded = base64Encode(all);
    EXPECT_EQ(encoded.find('\n'), std::string::npos);
    EXPECT_EQ(base64Decode(encoded), all);
}

TEST(Base64, RejectsMalformedText) {
    for (const char* text : {"Zg", "Zg=", "Z===", "Zm9v\n", "Zm=v", "Zg==Zg==", "Zm9-", "Zm9_"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(base64Decode(text));
    }
}
