#include "bridge/policy/Request.h"

#include <gtest/gtest.h>

namespace {

using bridge::policy::parseRequest;
using bridge::policy::Request;

std::string errorOf(std::string_view body) {
    const auto parsed = parseRequest(body);
    EXPECT_FALSE(parsed) << body;
    return parsed.error;
}

TEST(Request, ParsesCreateAndCall) {
    const auto create = parseRequest(R"({"v":1,"op":"create","progId":"QXMeridiaControl.SGN"})");
    ASSERT_TRUE(create) << create.error;
    EXPECT_EQ(create.request->op, Request::Op::create);
    EXPECT_EQ(create.request->progId, "QXMeridiaControl.SGN");

    const auto call = parseRequest(
        R"({"v":1,"op":"call","object":"3.12","member":"signresult","args":[["s",""],["n",16.5],)"
        R"(["n","-Infinity"],["b",false],["u"],["null"],["object"]]})");
    ASSERT_TRUE(call) << call.error;
    EXPECT_EQ(call.request->op, Request::Op::call);
    EXPECT_EQ(call.request->object, "3.12");
    EXPECT_EQ(call.request->workerSerial, 3u);
    EXPECT_EQ(call.request->objectSerial, 12u);
    EXPECT_EQ(call.request->member, "signresult");
    ASSERT_EQ(call.request->args.size(), 7u);
    EXPECT_EQ(call.request->args[1][1], 16.5);

    const auto noArgs = parseRequest(R"({"v":1,"op":"call","object":"1.1","member":"GetHash"})");
    ASSERT_TRUE(noArgs) << noArgs.error;
    EXPECT_TRUE(noArgs.request->args.empty());
}

TEST(Request, RefusesMalformedEnvelopes) {
    EXPECT_EQ(errorOf(""), "bad request: malformed JSON");
    EXPECT_EQ(errorOf(R"({"v":1,"op":"create","progId":"X")"), "bad request: malformed JSON");
    EXPECT_EQ(errorOf(R"([1])"), "bad request: the body must be a JSON object");
    EXPECT_EQ(errorOf(R"({"op":"create","progId":"X"})"), "bad request: missing version");
    EXPECT_EQ(errorOf(R"({"v":2,"op":"create","progId":"X"})"), "bad request: unsupported version");
    EXPECT_EQ(errorOf(R"({"v":"1","op":"create","progId":"X"})"), "bad request: unsupported version");
    EXPECT_EQ(errorOf(R"({"v":1.5,"op":"create","progId":"X"})"), "bad request: unsupported version");
    EXPECT_EQ(errorOf(R"({"v":1,"op":"delete"})"), "bad request: unknown op");
    EXPECT_EQ(errorOf(R"({"v":1,"op":7})"), "bad request: op must be a string");
    EXPECT_EQ(errorOf(R"({"v":1,"op":"create","progId":"X","extra":1})"), "bad request: unexpected field");
    EXPECT_EQ(errorOf(R"({"v":1,"op":"create","progId":"X","member":"m"})"), "bad request: unexpected field");
}

TEST(Request, RefusesWrongTypesAndOverlongValues) {
    EXPECT_EQ(errorOf(R"({"v":1,"op":"create","progId":3})"), "bad request: progId must be a string");
    EXPECT_EQ(errorOf(R"({"v":1,"op":"create","progId":""})"), "bad request: malformed progId");
    EXPECT_EQ(errorOf(R"({"v":1,"op":"create","progId":"A\nB"})"), "bad request: malformed progId");
    EXPECT_EQ(errorOf(std::string(R"({"v":1,"op":"create","progId":")") + std::string(129, 'A') + "\"}"),
              "bad request: malformed progId");

    const std::string call = R"({"v":1,"op":"call","object":"1.2",)";
    EXPECT_EQ(errorOf(call + R"("member":["m"]})"), "bad request: member must be a string");
    EXPECT_EQ(errorOf(call + R"("member":"\u00e9"})"), "bad request: malformed member name");
    EXPECT_EQ(errorOf(call + R"("member":")" + std::string(65, 'm') + "\"}"), "bad request: malformed member name");
    EXPECT_TRUE(parseRequest(call + R"("member":")" + std::string(64, 'm') + "\"}"));
    EXPECT_EQ(errorOf(call + R"("member":"m","args":{}})"), "bad request: args must be an array");

    for (const char* id : {R"(1)", R"("1")", R"("1.")", R"(".1")", R"("01.1")", R"("1.1.1")", R"("-1.1")",
                           R"("1.1 ")", R"("1234567890123456789.1")"})
        EXPECT_EQ(errorOf(std::string(R"({"v":1,"op":"call","member":"m","object":)") + id + "}").substr(0, 12),
                  "bad request:")
            << id;
}

TEST(Request, RefusesMalformedArguments) {
    const std::string head = R"({"v":1,"op":"call","object":"1.2","member":"m","args":[)";
    for (const char* arg : {R"("s")", R"([])", R"([1])", R"(["s"])", R"(["s",1])", R"(["s","a","b"])",
                            R"(["n","12"])", R"(["n","nan"])", R"(["n",null])", R"(["b","true"])",
                            R"(["u",1])", R"(["null",null])", R"(["date",1])"})
        EXPECT_EQ(errorOf(head + arg + "]}").substr(0, 12), "bad request:") << arg;

    std::string sixteen = head;
    for (int i = 0; i < 16; ++i)
        sixteen.append(i ? "," : "").append(R"(["u"])");
    EXPECT_TRUE(parseRequest(sixteen + "]}"));
    EXPECT_EQ(errorOf(sixteen + R"(,["u"]]})"), "bad request: too many arguments");
}

TEST(Request, RefusesDeepNestingAndHugeFieldNamesWhileParsing) {
    EXPECT_EQ(errorOf(R"({"v":1,"op":"call","object":"1.2","member":"m","args":[["s",["x"]]]})"),
              "bad request: nesting too deep");
    // Deep enough to exhaust a recursive parser's stack.
    EXPECT_EQ(errorOf(std::string(200000, '[') + std::string(200000, ']')), "bad request: nesting too deep");
    EXPECT_EQ(errorOf(std::string(R"({"v":1,")") + std::string(65, 'k') + R"(":1})"),
              "bad request: field name too long");
    EXPECT_EQ(errorOf(std::string(R"({"v":1,"op":"create","progId":"X",")") + std::string(1 << 20, 'k') + R"(":1})"),
              "bad request: field name too long");
}

} // namespace
