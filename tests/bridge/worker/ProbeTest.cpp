// The worker's own rules, over the probe control: the member list, argument conversion and
// refusal, results, safety, waits, stray output and the bounds.
#include "WorkerFixture.h"

#include "bridge/ipc/Frames.h"

#include <algorithm>
#include <tuple>

namespace worker_test {
namespace {

using nlohmann::json;

json s(const std::string& text) {
    return json::array({"s", text});
}
json n(double number) {
    return json::array({"n", number});
}
json b(bool value) {
    return json::array({"b", value});
}
json tag(const char* name) {
    return json::array({name});
}

class ProbeTest : public WorkerTest {
protected:
    // The value a one-argument member gave, or the error.
    json one(const char* member, const json& argument) {
        const json reply = worker_.call(object_, member, json::array({argument}));
        if (!reply.value("ok", false))
            return outcome(reply);
        return reply.value("value", json("no value"));
    }
    void SetUp() override {
        WorkerTest::SetUp();
        ASSERT_TRUE(worker_.started());
        object_ = probe(worker_);
    }

    WorkerProcess worker_;
    long long object_ = -1;
};

TEST_F(ProbeTest, MembersAreTheCallableFunctionsOfTheTypeInformation) {
    const json created = worker_.create(kProbe);
    ASSERT_EQ(outcome(created), "ok");
    EXPECT_EQ(created["object"], object_ + 1) << "serials increase";
    const json expected = json::parse(R"([
        {"name":"Echo","params":["BSTR"]}, {"name":"Number","params":["long"]},
        {"name":"IsNullText","params":["BSTR"]}, {"name":"Shout","params":[]},
        {"name":"SafetyEnabled","params":[]}, {"name":"Touch","params":[]},
        {"name":"Pair","params":["BSTR","long"]}, {"name":"Wait","params":[]},
        {"name":"Declines","params":[]}])");
    // "Invoke" is an IDispatch name, Toggle takes a VARIANT_BOOL the page cannot pass.
    EXPECT_EQ(created["members"], expected);
    EXPECT_NE(worker_.log().find("Toggle left out"), std::string::npos) << worker_.log();
    EXPECT_EQ(outcome(worker_.call(object_, "Invoke")), "404 no such member: Invoke");
}

TEST_F(ProbeTest, ArgumentsAreConvertedAsTheScriptEngineDid) {
    const json notNull = json::array({"n", 0});
    const std::tuple<const char*, json, json> cases[] = {
        {"Echo", s("plain ✓"), s("plain ✓")}, {"Echo", n(16), s("16")}, {"Echo", n(16.5), s("16.5")},
        {"Echo", b(true), s("True")}, {"Echo", b(false), s("False")}, {"Echo", tag("u"), s("")},
        {"Echo", s(""), s("")},
        // "" and undefined arrive as empty BSTRs, never null ones.
        {"IsNullText", s(""), notNull}, {"IsNullText", tag("u"), notNull},
        // Half to even; true is -1; numeric texts and undefined read as numbers.
        {"Number", n(2.5), json::array({"n", 2})}, {"Number", n(3.5), json::array({"n", 4})},
        {"Number", n(-2.5), json::array({"n", -2})}, {"Number", b(true), json::array({"n", -1})},
        {"Number", b(false), json::array({"n", 0})}, {"Number", s("12"), json::array({"n", 12})},
        {"Number", tag("u"), json::array({"n", 0})}, {"Number", n(-2147483648.0), json::array({"n", -2147483648LL})}};
    for (const auto& [member, argument, expected] : cases)
        EXPECT_EQ(one(member, argument), expected) << member << " " << argument;
}

TEST_F(ProbeTest, ArgumentsThatCannotBeConvertedAreRefused) {
    const std::string range = "400 bad request: Number argument 1: the argument is not a number in range";
    const std::tuple<const char*, json, std::string> cases[] = {
        {"Number", s("abc"), range}, {"Number", n(2147483648.0), range},
        {"Number", json::array({"n", "NaN"}), range}, {"Number", json::array({"n", "-Infinity"}), range},
        {"Echo", tag("null"), "400 bad request: Echo argument 1: null is not a valid argument"},
        {"Echo", tag("object"), "400 bad request: Echo argument 1: an object is not a valid argument"},
        {"Echo", json::array({"n", "12"}), "400 bad request: malformed argument"}};
    for (const auto& [member, argument, expected] : cases)
        EXPECT_EQ(one(member, argument), expected) << member << " " << argument;
    EXPECT_EQ(outcome(worker_.call(object_, "Pair", json::array({s("a"), tag("null")}))),
              "400 bad request: Pair argument 2: null is not a valid argument");
}

TEST_F(ProbeTest, TheArgumentCountMustMatch) {
    EXPECT_EQ(outcome(worker_.call(object_, "Echo")), "400 bad request: Echo takes 1 argument");
    EXPECT_EQ(outcome(worker_.call(object_, "Pair", json::array({s("a")}))), "400 bad request: Pair takes 2 arguments");
    EXPECT_EQ(outcome(worker_.call(object_, "Touch", json::array({s("a")}))),
              "400 bad request: Touch takes 0 arguments");
    EXPECT_EQ(worker_.call(object_, "Pair", json::array({s("a"), n(3)}))["value"], s("a3")) << "in order";
}

TEST_F(ProbeTest, MembersMatchWithoutRegardToCaseAndUnknownOnesKeepThePageSpelling) {
    EXPECT_EQ(worker_.call(object_, "eCHO", json::array({s("x")}))["value"], s("x"));
    EXPECT_EQ(outcome(worker_.call(object_, "NoSuchThing")), "404 no such member: NoSuchThing");
    EXPECT_EQ(outcome(worker_.call(object_ + 100, "Echo", json::array({s("x")}))),
              "410 the control was released; create it again");
}

TEST_F(ProbeTest, ResultsAreWhatTheMemberWroteWhateverItsHresult) {
    const json touched = worker_.call(object_, "Touch");
    EXPECT_EQ(outcome(touched), "ok");
    EXPECT_FALSE(touched.contains("value")) << touched;
    EXPECT_EQ(worker_.call(object_, "Declines")["value"], json::array({"n", 7}));
    EXPECT_NE(worker_.log().find("Declines on object 1: 0x00000001"), std::string::npos) << worker_.log();
}

TEST_F(ProbeTest, MalformedRequestsAreRefusedAndChangeNothing) {
    const std::pair<const char*, const char*> cases[] = {
        {"not json", "400 bad request: malformed JSON"},
        {"[1]", "400 bad request: malformed JSON"},
        {R"({"op":1})", "400 bad request: no op"},
        {R"({"op":"drop"})", "400 bad request: unknown op"},
        {R"({"op":"create"})", "400 bad request: no progId"},
        {R"({"op":"create","progId":""})", "400 bad request: no progId"},
        {R"({"op":"call","object":"1","member":"Echo","args":[]})", "400 bad request: no object"},
        {R"({"op":"call","object":1.5,"member":"Echo","args":[]})", "400 bad request: no object"},
        {R"({"op":"call","object":1,"member":"Echo","args":{}})", "400 bad request: args is not a list"},
        {R"({"op":"call","object":1,"args":[]})", "400 bad request: no member"},
        {R"({"op":"call","object":18446744073709551615,"member":"Echo","args":[["s","x"]]})",
         "410 the control was released; create it again"},
    };
    for (const auto& [request, expected] : cases)
        EXPECT_EQ(outcome(worker_.requestText(request)), expected) << request;
    const json objects = worker_.create(kProbe);
    EXPECT_EQ(objects["object"], object_ + 1) << "no refused request made an object";
    EXPECT_EQ(one("Echo", s("still")), s("still"));
}

TEST_F(ProbeTest, TheLogNamesMembersButNeverArgumentsOrResults) {
    EXPECT_EQ(one("Echo", s("secret-argument-text")), s("secret-argument-text"));
    const std::string log = worker_.log();
    EXPECT_NE(log.find("KorvanBridgeTest.Probe.Echo on object"), std::string::npos) << log;
    EXPECT_EQ(log.find("secret-argument-text"), std::string::npos) << log;
}

TEST_F(ProbeTest, TheControlIsPutInSafeModeForUntrustedCallersOnly) {
    // The probe offers both options; only the caller one may be set.
    EXPECT_EQ(worker_.call(object_, "SafetyEnabled")["value"], json::array({"n", 1}));
}

TEST_F(ProbeTest, WaitsForTheUserAreEventsBeforeTheReply) {
    const json reply = worker_.call(object_, "Wait");
    EXPECT_EQ(reply["value"], json::array({"n", 0}));
    const std::vector<json> expected = {json::parse(R"({"event":"wait","begins":true})"),
                                        json::parse(R"({"event":"wait","begins":false})")};
    EXPECT_EQ(worker_.events(), expected);
}

TEST_F(ProbeTest, AModulePrintingToStandardOutputDoesNotReachTheFrames) {
    EXPECT_EQ(worker_.call(object_, "Shout")["value"], json::array({"n", 7})) << "the module's write succeeded";
    EXPECT_EQ(one("Echo", s("after")), s("after"));
    EXPECT_NE(worker_.log().find("a stray line from a module"), std::string::npos);
}

TEST_F(ProbeTest, ObjectsAreBoundedPerWorker) {
    for (long long i = 1; i < 64; ++i)
        ASSERT_EQ(outcome(worker_.create(kProbe)), "ok") << i;
    EXPECT_EQ(outcome(worker_.create(kProbe)), "503 control failed");
    EXPECT_EQ(one("Echo", s("older objects still work")), s("older objects still work"));
}

TEST_F(ProbeTest, AnUnregisteredProgIdIsRefused) {
    EXPECT_EQ(outcome(worker_.create("Nobody.Here")), "404 ProgID not registered: Nobody.Here");
    // What the request named cannot start a log line of its own.
    EXPECT_EQ(outcome(worker_.create("Nobody\nforged")), "404 ProgID not registered: Nobody\nforged");
    EXPECT_EQ(worker_.log().find("\nforged"), std::string::npos) << worker_.log();
}

TEST_F(ProbeTest, TheWorkerEndsCleanlyWhenItsInputCloses) {
    EXPECT_EQ(worker_.finish(), 0);
}

TEST_F(ProbeTest, AnOversizeFrameEndsTheWorkerWithoutAReply) {
    ASSERT_TRUE(worker_.sendRaw(std::string("\x00\x40\x00\x01", 4)));
    EXPECT_EQ(worker_.finish(), 2);
    EXPECT_NE(worker_.log().find("malformed request frame"), std::string::npos);
}

TEST_F(WorkerTest, WithoutADisplayTheWorkerRunsOffscreen) {
    WorkerProcess worker({}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
    EXPECT_EQ(outcome(worker.create(kProbe)), "ok") << worker.log();
    EXPECT_EQ(worker.finish(), 0);
}

class UnsafeControlTest : public WorkerTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UnsafeControlTest, AControlNotSafeForScriptingIsRefused) {
    WorkerProcess worker({std::pair<std::string, std::string>("KORVAN_PROBE_SAFETY", GetParam())});
    EXPECT_EQ(outcome(worker.create(kProbe)), "500 control failed");
    EXPECT_NE(worker.log().find("not safe for scripting"), std::string::npos) << worker.log();
    EXPECT_EQ(outcome(worker.call(1, "Echo", json::array({s("x")}))), "410 the control was released; create it again")
        << "a refused control gets no object";
}

INSTANTIATE_TEST_SUITE_P(Modes, UnsafeControlTest, ::testing::Values("absent", "unlisted", "refused"));

} // namespace
} // namespace worker_test
