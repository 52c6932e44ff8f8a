// The decryption gate under locales whose case rules differ from ASCII: the worker asks about the
// member it resolved, so every spelling that reaches DecryByPrikey is counted and limited.
#include "bridge/policy/DecisionStore.h"
#include "bridge/policy/DecryptLimiter.h"
#include "bridge/server/Approvals.h"
#include "bridge/server/CallService.h"

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace bridge::server;
using nlohmann::json;

namespace {

constexpr const char* kOrigin = "https://bank.example";

class NoUser : public UserQuestions {
public:
    bool canAsk() const override { return false; }
    std::optional<ApprovalAnswer> askApproval(const std::string&) override { return std::nullopt; }
    bool confirmDecrypt(const std::string&) override { return false; }
};

// The locale ("tr_TR.UTF-8") compiled from Debian's sources into a folder of the test's own;
// empty when localedef fails.
std::string compiledLocale(const std::string& folder, const std::string& locale) {
    const std::string source = locale.substr(0, locale.find('.'));
    const std::string command = "localedef -i " + source + " -f UTF-8 " + folder + "/" + locale + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0 ? folder : std::string();
}

class DecryptGateTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        std::string folder = (std::filesystem::temp_directory_path() / "korvan-gate-state-XXXXXX").string();
        ASSERT_NE(::mkdtemp(folder.data()), nullptr);
        state_ = folder;
        ::setenv("KORVAN_BRIDGE_STATE_DIR", state_.c_str(), 1);
        settings.workerPath = KORVAN_FAKE_WORKER;
        settings.endGrace = std::chrono::milliseconds(500);
    }
    void TearDown() override {
        std::setlocale(LC_ALL, "C");
        ::unsetenv("LOCPATH");
        ::unsetenv("KORVAN_BRIDGE_STATE_DIR");
        std::filesystem::remove_all(state_);
    }

    Answer post(CallService& service, const json& body) {
        std::string subject;
        return service.call(std::string(kOrigin), body.dump(), subject);
    }
    Answer call(CallService& service, const std::string& object, const std::string& member) {
        return post(service, {{"v", 1}, {"op", "call"}, {"object", object}, {"member", member},
                              {"args", json::array({json::array({"s", "cipher"})})}});
    }

    PoolSettings settings;
    std::string state_;
};

} // namespace

TEST_P(DecryptGateTest, EverySpellingIsCountedAndRefusedPastTheLimit) {
    const std::string locales = compiledLocale(state_, GetParam());
    ASSERT_FALSE(locales.empty()) << "localedef could not build " << GetParam();
    ::setenv("LOCPATH", locales.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, GetParam()), nullptr) << GetParam();
    // The fault this guards against: the locale does not lower 'I' to 'i'.
    ASSERT_NE(std::tolower('I'), 'i') << GetParam();

    bridge::policy::DecisionStore decisions;
    NoUser user;
    const auto quiet = [](const std::string&) {};
    Approvals approvals({kOrigin}, decisions, user, quiet);
    WorkerPool pool(settings);
    CallService service({"Fake.Control"}, approvals, pool, quiet);
    const Answer created = post(service, {{"v", 1}, {"op", "create"}, {"progId", "Fake.Control"}});
    ASSERT_EQ(created.status, 200) << created.body.dump();
    const std::string object = created.body["object"];

    const char* spellings[] = {"DECRYBYPRIKEY", "DecryByPrIkey", "decrybyprikey", "DecryByPrikey", "dECRYbYpRIKEY"};
    int decrypted = 0;
    for (int i = 0; i < bridge::policy::DecryptLimiter::kPerMinute; ++i) {
        const Answer answer = call(service, object, spellings[i % 5]);
        ASSERT_EQ(answer.status, 200) << answer.body.dump();
        decrypted += answer.body["value"] == json::array({"s", "PLAIN"}) ? 1 : 0;
    }
    EXPECT_EQ(decrypted, bridge::policy::DecryptLimiter::kPerMinute);
    for (const char* spelling : spellings) {
        const Answer refused = call(service, object, spelling);
        EXPECT_EQ(refused.status, 200) << spelling;
        EXPECT_EQ(refused.body["value"], json::array({"s", "FALSE"})) << spelling;
    }
    const Answer count = call(service, object, "Count");
    EXPECT_EQ(count.body["value"], json::array({"n", bridge::policy::DecryptLimiter::kPerMinute}))
        << "no spelling reached the member past the limit";
}

INSTANTIATE_TEST_SUITE_P(Locales, DecryptGateTest, ::testing::Values("tr_TR.UTF-8", "az_AZ.UTF-8"),
                         [](const auto& info) { return std::string(info.param).substr(0, 5); });

// The worker may ask once per call, and only about what it was told to gate.
TEST(DecryptGateProtocol, AWorkerAskingWhatItWasNotToldIsKilled) {
    PoolSettings settings;
    settings.workerPath = KORVAN_FAKE_WORKER;
    settings.endGrace = std::chrono::milliseconds(500);
    WorkerPool pool(settings);
    int asked = 0;
    const CallGate allow = [&](const std::string&, bool&) { return ++asked, true; };
    for (const char* member : {"GateTwice", "GateOther"}) {
        const Answer created = pool.create(kOrigin, "Fake.Control");
        ASSERT_EQ(created.status, 200);
        bridge::policy::Request request;
        request.op = bridge::policy::Request::Op::call;
        request.object = created.body["object"];
        request.workerSerial = std::stoull(request.object.substr(0, request.object.find('.')));
        request.objectSerial = 1;
        request.member = member;
        request.args = json::array();
        EXPECT_EQ(pool.call(kOrigin, request, allow).status, 500) << member;
        request.member = "Pid";
        EXPECT_EQ(pool.call(kOrigin, request, allow).status, 410) << member << ": the worker is gone";
    }
    EXPECT_EQ(asked, 1) << "GateTwice's first question only";
}
