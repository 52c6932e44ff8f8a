// The real controls hosted by the worker: created by each ProgID, their members read from their
// type information, called with converted arguments, and their module state shared by the
// objects of one worker only.
#include "WorkerFixture.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>

namespace worker_test {
namespace {

using nlohmann::json;

std::string frame(const json& message) {
    const std::string text = message.dump();
    const auto length = static_cast<std::uint32_t>(text.size());
    const char header[4] = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                            static_cast<char>(length >> 8), static_cast<char>(length)};
    return std::string(header, 4) + text;
}

int eventsNamed(const WorkerProcess& worker, const std::string& name) {
    return static_cast<int>(std::count_if(worker.events().begin(), worker.events().end(),
                                          [&](const json& event) { return event.value("event", "") == name; }));
}

json paramsOf(const json& created, const std::string& name) {
    for (const json& member : created.value("members", json::array()))
        if (member.value("name", "") == name)
            return member["params"];
    return "missing";
}

class ControlsTest : public WorkerTest {
protected:
    // A fresh token in slot 1 with one certificate of each marker kind.
    void tokenWithIdentities() {
        store().removeAllTokens();
        ASSERT_FALSE(store().freshToken(1).empty());
        static long serial = 0x5000;
        EVP_PKEY* base = control_host::testKey(2048, 0);
        EVP_PKEY* marked = control_host::testKey(2048, 1);
        ASSERT_TRUE(store().importIdentity(1, "C0000000-0000-0000-0000-00000000000A", base,
                                           control_host::selfSignedCertificate("Alice Base", base, ++serial)));
        ASSERT_TRUE(store().importIdentity(1, "C0000000-0000-0000-0000-00000000000B", marked,
                                           control_host::selfSignedCertificate("Alice_TQB", marked, ++serial)));
    }
};

TEST_F(ControlsTest, BothControlsAreCreatedWithTheirMembersAndParameterTypes) {
    WorkerProcess worker;
    for (const char* progId : {"QXMeridiaControl.SGN", "QXMeridiaControl.SGN.1", "MeridiaVaultora.MeridiaCtrl",
                               "MeridiaVaultora.MeridiaCtrl.1"}) {
        SCOPED_TRACE(progId);
        const json created = worker.create(progId);
        ASSERT_EQ(outcome(created), "ok");
        EXPECT_EQ(paramsOf(created, "GetHash"), json::array());
        EXPECT_EQ(paramsOf(created, "SignResult"), json::array({"BSTR"}));
        EXPECT_EQ(paramsOf(created, "GenRandomNumber"), json::array({"long"}));
        EXPECT_EQ(paramsOf(created, "VerifyResult"), json::array({"BSTR", "BSTR", "BSTR"}));
        for (const json& member : created["members"]) {
            const std::string name = member["name"];
            EXPECT_TRUE(name != "QueryInterface" && name != "AddRef" && name != "Release" &&
                        name != "GetTypeInfoCount" && name != "GetTypeInfo" && name != "GetIDsOfNames" &&
                        name != "Invoke")
                << name;
        }
    }
    EXPECT_EQ(paramsOf(worker.create("MeridiaVaultora.MeridiaCtrl"), "CryptByPukey"), json::array({"BSTR", "BSTR"}));
}

TEST_F(ControlsTest, MembersAreCalledWithConvertedArguments) {
    tokenWithIdentities();
    WorkerProcess worker;
    const long long sgn = worker.create("QXMeridiaControl.SGN").value("object", -1LL);
    EXPECT_FALSE(worker.call(sgn, "GetHash").contains("value")) << "a fresh module has no hash";
    ASSERT_EQ(worker.call(sgn, "IsOnline")["value"], json::array({"n", 0}));
    ASSERT_EQ(worker.call(sgn, "SetCertResult")["value"], json::array({"n", 0}));
    // 16.5 rounds to 16; "12" is a numeric text.
    const json random = worker.call(sgn, "genrandomnumber", json::array({json::array({"n", 16.5})}));
    ASSERT_EQ(outcome(random), "ok");
    EXPECT_EQ(random["value"][1].get<std::string>().size(), 16u) << random;
    EXPECT_EQ(worker.call(sgn, "GenRandomNumber", json::array({json::array({"s", "12"})}))["value"][1]
                  .get<std::string>()
                  .size(),
              12u);
    EXPECT_FALSE(worker.call(sgn, "GenRandomNumber", json::array({json::array({"n", -2})})).contains("value"))
        << "the control wrote no value";
    EXPECT_EQ(outcome(worker.call(sgn, "GenRandomNumber", json::array({json::array({"s", "abc"})}))).substr(0, 16),
              "400 bad request:");

    EXPECT_EQ(worker.call(sgn, "HashResult", json::array({json::array({"s", "abc"})}))["value"], json::array({"n", 0}));
    EXPECT_EQ(worker.call(sgn, "GetHash")["value"], json::array({"s", "900150983CD24FB0D6963F7D28E17F72"}));
}

TEST_F(ControlsTest, ObjectsOfOneWorkerShareTheModuleStateAndOtherWorkersDoNot) {
    tokenWithIdentities();
    WorkerProcess worker;
    const long long first = worker.create("QXMeridiaControl.SGN").value("object", -1LL);
    const long long second = worker.create("QXMeridiaControl.SGN").value("object", -1LL);
    ASSERT_EQ(worker.call(first, "IsOnline")["value"], json::array({"n", 0}));
    ASSERT_EQ(worker.call(first, "SetCertResult")["value"], json::array({"n", 0}));
    EXPECT_EQ(worker.call(second, "GetCertName")["value"], json::array({"s", "Alice Base"}));

    WorkerProcess other;
    const long long fresh = other.create("QXMeridiaControl.SGN").value("object", -1LL);
    EXPECT_FALSE(other.call(fresh, "GetCertName").contains("value")) << "another worker starts empty";
}

// The worker asks the bridge before a gated DISPID runs, by the name its type information gives
// it, however the page spelled it; a refusal answers "FALSE" without reaching the token.
TEST_F(ControlsTest, AGatedMemberAsksTheBridgeFirstWhateverItsSpelling) {
    tokenWithIdentities();
    WorkerProcess worker;
    ASSERT_EQ(outcome(worker.request({{"op", "gate"}, {"members", {"DecryByPrikey"}}})), "ok");
    const long long ctrl = worker.create("MeridiaVaultora.MeridiaCtrl").value("object", -1LL);
    ASSERT_GT(ctrl, 0);
    const int asked = store().pinRequests();
    for (const char* spelling : {"DECRYBYPRIKEY", "decrybyprikey", "DecryByPrIkey"}) {
        // The call, then the bridge's answer to the question it raises.
        ASSERT_TRUE(worker.sendRaw(frame({{"op", "call"}, {"object", ctrl}, {"member", spelling},
                                          {"args", json::array({json::array({"s", "AAAA"})})}})));
        const json reply = worker.request({{"gate", false}});
        EXPECT_EQ(reply["value"], json::array({"s", "FALSE"})) << spelling << reply;
        ASSERT_EQ(worker.events().size(), 1u) << spelling;
        EXPECT_EQ(worker.events()[0], json({{"event", "gate"}, {"member", "DecryByPrikey"}})) << spelling;
    }
    EXPECT_EQ(store().pinRequests(), asked) << "refused before the token was used";
    EXPECT_EQ(outcome(worker.request({{"op", "gate"}, {"members", {std::string(65, 'x')}}})).substr(0, 3), "400");
}

// A login made in a call is announced before its reply; "logout" ends it, and the next signature
// asks for the PIN again. Without it the login is kept.
TEST_F(ControlsTest, TokenLoginsAreAnnouncedAndEndedOnRequest) {
    tokenWithIdentities();
    // A confined worker writes only the token store: the pinentry's log goes there.
    const std::string log = store().root() + "/store/worker-pinentry.log";
    const auto pinRequests = [&] {
        std::ifstream in(log);
        int requests = 0;
        for (std::string line; std::getline(in, line);)
            requests += line == "GETPIN";
        return requests;
    };
    WorkerProcess worker({{"PINENTRY_SCRIPT_LOG", log}});
    const long long sgn = worker.create("QXMeridiaControl.SGN").value("object", -1LL);
    ASSERT_EQ(worker.call(sgn, "IsOnline")["value"], json::array({"n", 0}));
    EXPECT_EQ(pinRequests(), 1);
    EXPECT_EQ(eventsNamed(worker, "login"), 1);
    ASSERT_EQ(worker.call(sgn, "SetCertResult")["value"], json::array({"n", 0}));
    const json text = json::array({json::array({"s", "text to sign"})});
    ASSERT_EQ(worker.call(sgn, "SignResult", text)["value"], json::array({"n", 0}));
    EXPECT_EQ(pinRequests(), 1) << "still logged in";
    EXPECT_EQ(eventsNamed(worker, "login"), 0);

    ASSERT_EQ(outcome(worker.request({{"op", "logout"}})), "ok");
    EXPECT_EQ(eventsNamed(worker, "login"), 0);
    ASSERT_EQ(worker.call(sgn, "SignResult", text)["value"], json::array({"n", 0}));
    EXPECT_EQ(pinRequests(), 2) << "the PIN is asked again after the logout";
    EXPECT_EQ(eventsNamed(worker, "login"), 1);
    std::filesystem::remove(log);
}

} // namespace
} // namespace worker_test
