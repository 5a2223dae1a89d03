#include "base/Json.h"

#include <gtest/gtest.h>

using namespace quorlinth;

namespace {

const Json kMessage = Json::parse(R"({
    "text": "hi", "flag": true, "whole": 42, "float_whole": 7.0, "fraction": 1.5, "negative": -3,
    "big": 4294967296, "huge": 18446744073709551615, "max32": 2147483647, "min32": -2147483648,
    "object": {"a": 1}, "list": [1, 2], "null": null, "numeric_text": "12", "zero": 0
})");

} // namespace

TEST(JsonField, WrongTypesCountAsAbsent) {
    struct Case {
        const char* key;
        bool isString, isBool, isNumber, isInt64, isInt32, isObject, isArray;
    };
    const Case cases[] = {
        {"text", true, false, false, false, false, false, false},
        {"flag", false, true, false, false, false, false, false},
        {"whole", false, false, true, true, true, false, false},
        {"float_whole", false, false, true, true, true, false, false},
        {"fraction", false, false, true, false, false, false, false},
        {"negative", false, false, true, true, true, false, false},
        {"big", false, false, true, true, false, false, false},
        {"huge", false, false, true, false, false, false, false},
        {"max32", false, false, true, true, true, false, false},
        {"min32", false, false, true, true, true, false, false},
        {"object", false, false, false, false, false, true, false},
        {"list", false, false, false, false, false, false, true},
        {"null", false, false, false, false, false, false, false},
        {"numeric_text", true, false, false, false, false, false, false},
        {"zero", false, false, true, true, true, false, false},
        {"missing", false, false, false, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(field::string(kMessage, c.key).has_value(), c.isString);
        EXPECT_EQ(field::boolean(kMessage, c.key).has_value(), c.isBool);
        EXPECT_EQ(field::number(kMessage, c.key).has_value(), c.isNumber);
        EXPECT_EQ(field::int64(kMessage, c.key).has_value(), c.isInt64);
        EXPECT_EQ(field::int32(kMessage, c.key).has_value(), c.isInt32);
        EXPECT_EQ(field::object(kMessage, c.key) != nullptr, c.isObject);
        EXPECT_EQ(field::array(kMessage, c.key) != nullptr, c.isArray);
    }
}

TEST(JsonField, ReadsValuesAndTakesDefaults) {
    EXPECT_EQ(field::string(kMessage, "text", "x"), "hi");
    EXPECT_EQ(field::string(kMessage, "flag", "x"), "x");
    EXPECT_EQ(field::int32(kMessage, "float_whole", 0), 7);
    EXPECT_EQ(field::int32(kMessage, "big", -1), -1);
    EXPECT_EQ(field::int64(kMessage, "big", 0), 4294967296);
    EXPECT_EQ(field::int32(kMessage, "min32", 0), -2147483648);
    EXPECT_DOUBLE_EQ(field::number(kMessage, "whole", 0), 42.0);
    EXPECT_FALSE(field::boolean(kMessage, "zero", false)); // 0 is not a boolean
    EXPECT_TRUE(field::boolean(kMessage, "missing", true));
}

TEST(JsonField, NonObjectsHaveNoFields) {
    for (const Json& value : {Json::array({1}), Json("text"), Json(3), Json()}) {
        EXPECT_FALSE(field::string(value, "text"));
        EXPECT_FALSE(field::int64(value, "whole"));
    }
}

TEST(JsonParse, AcceptsOnlyOneObject) {
    EXPECT_TRUE(parseJsonObject(R"({"type":"ready"})"));
    for (const char* text :
         {"", "[]", "\"text\"", "3", "null", "{", "{\"a\":1} {}", "{\"a\":}", "\xff\xfe"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseJsonObject(text));
    }
}

TEST(JsonParse, SurvivesDeepNesting) {
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_FALSE(parseJsonObject(deep));
}

TEST(JsonDump, ReplacesInvalidUtf8InsteadOfThrowing) {
    Json value = {{"text", std::string("a\xff")}};
    EXPECT_EQ(dumpJson(value), "{\"text\":\"a\xEF\xBF\xBD\"}");
}
