// The real controls hosted by the worker: created by each ProgID, their members read from their
// type information, called with converted arguments, and their module state shared by the
// objects of one worker only.
#include "WorkerFixture.h"

#include <openssl/evp.h>

#include <algorithm>

namespace worker_test {
namespace {

using nlohmann::json;

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

} // namespace
} // namespace worker_test
