// The page's argument encodings as the worker reads them, and messages that always serialise.
#include "bridge/ipc/Values.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using bridge::ipc::Argument;
using bridge::ipc::decodeArgument;
using nlohmann::json;

TEST(Values, EveryArgumentEncodingDecodes) {
    const auto text = decodeArgument(json::array({"s", "a ✓"}));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->kind, Argument::Kind::text);
    EXPECT_EQ(text->text, "a ✓");
    const auto number = decodeArgument(json::array({"n", 16.5}));
    ASSERT_TRUE(number);
    EXPECT_EQ(number->kind, Argument::Kind::number);
    EXPECT_EQ(number->number, 16.5);
    EXPECT_EQ(decodeArgument(json::array({"n", -3}))->number, -3.0);
    EXPECT_TRUE(std::isnan(decodeArgument(json::array({"n", "NaN"}))->number));
    EXPECT_EQ(decodeArgument(json::array({"n", "Infinity"}))->number, INFINITY);
    EXPECT_EQ(decodeArgument(json::array({"n", "-Infinity"}))->number, -INFINITY);
    const auto boolean = decodeArgument(json::array({"b", true}));
    ASSERT_TRUE(boolean);
    EXPECT_EQ(boolean->kind, Argument::Kind::boolean);
    EXPECT_TRUE(boolean->boolean);
    EXPECT_EQ(decodeArgument(json::array({"u"}))->kind, Argument::Kind::undefined);
    EXPECT_EQ(decodeArgument(json::array({"null"}))->kind, Argument::Kind::null);
    EXPECT_EQ(decodeArgument(json::array({"object"}))->kind, Argument::Kind::object);
}

TEST(Values, AnythingElseIsNotAnArgument) {
    for (const json& bad : {json("s"), json(1), json(nullptr), json::object(), json::array(), json::array({1, "x"}),
                            json::array({"x", 1}), json::array({"s", 1}), json::array({"s"}),
                            json::array({"s", "a", "b"}), json::array({"n", "12"}), json::array({"n", "nan"}),
                            json::array({"n", nullptr}), json::array({"b", "true"}), json::array({"b", 1}),
                            json::array({"u", 1}), json::array({"null", nullptr})})
        EXPECT_FALSE(decodeArgument(bad)) << bad;
}

TEST(Values, MessagesWithInvalidUtf8StillSerialise) {
    const std::string text = bridge::ipc::dumpMessage({{"value", bridge::ipc::textValue("a\xff" "b")}});
    EXPECT_TRUE(json::accept(text)) << text;
    EXPECT_EQ(bridge::ipc::dumpMessage({{"value", bridge::ipc::numberValue(-1)}}), R"({"value":["n",-1]})");
}

} // namespace
