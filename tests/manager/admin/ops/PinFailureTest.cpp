// The two decisions after a failed C_Login, and the login step built on the
// user decision, over the fake tables.

#include "PinFailure.h"
#include "AdminFakeFixture.h"
#include "LoginStep.h"
#include "MessageFlags.h"
#include "Translator.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

struct DecisionCase {
    CK_RV rv;
    CK_FLAGS flagsAfter;
    int id; // 0: no message
    const char* text;
};

class PinFailureTest : public AdminFakeTest {
protected:
    void expectDecision(bool so, const DecisionCase& c) {
        SCOPED_TRACE(testing::Message() << (so ? "SO" : "user") << " rv 0x" << std::hex << c.rv
                                        << " flags 0x" << c.flagsAfter);
        std::size_t before = messages().size();
        fake().slotMap[1].tokenFlags = c.flagsAfter;
        if (so)
            reportSoPinFailure(1, c.rv, context());
        else
            reportUserPinFailure(1, c.rv, context());
        if (c.id == 0) {
            EXPECT_EQ(messages().size(), before);
            return;
        }
        ASSERT_EQ(messages().size(), before + 1);
        const MessageRequest& shown = messages().back();
        EXPECT_EQ(shown.id, c.id);
        EXPECT_EQ(shown.text, c.text);
        EXPECT_EQ(shown.title, "KorvanNG PKI Manager");
        EXPECT_EQ(shown.flags, MB_ICONERROR);
    }
};

TEST_F(PinFailureTest, UserDecisionReadsFreshFlagsInOrder) {
    startWithToken();
    const CK_FLAGS low = CKF_USER_PIN_COUNT_LOW, final = CKF_USER_PIN_FINAL_TRY,
                   locked = CKF_USER_PIN_LOCKED;
    const DecisionCase cases[] = {
        {CKR_OK, locked, 0, ""},
        {CKR_USER_ALREADY_LOGGED_IN, locked, 0, ""},
        {CKR_PIN_LOCKED, 0, 801, "Token is blocked by User PIN."},
        {CKR_PIN_LEN_RANGE, locked, 802, "The PIN is too long"},
        {CKR_PIN_INCORRECT, locked | final | low, 803, "Wrong PIN!\n\n The token is blocked."},
        {CKR_PIN_INCORRECT, final | low, 804,
         "Wrong PIN\n\nThis is the LAST PIN attempt, if the PIN is still wrong, the token will be "
         "blocked."},
        {CKR_PIN_INCORRECT, low, 805, "Wrong PIN."},
        {CKR_PIN_INCORRECT, CKF_SO_PIN_LOCKED, 805, "Wrong PIN."},
        {CKR_DEVICE_ERROR, 0, 805, "Wrong PIN."},
    };
    for (const DecisionCase& c : cases)
        expectDecision(false, c);
}

TEST_F(PinFailureTest, SoDecisionReadsFreshFlagsInOrder) {
    startWithToken();
    const CK_FLAGS low = CKF_SO_PIN_COUNT_LOW, final = CKF_SO_PIN_FINAL_TRY,
                   locked = CKF_SO_PIN_LOCKED;
    const DecisionCase cases[] = {
        {CKR_OK, locked, 0, ""},
        {CKR_USER_ALREADY_LOGGED_IN, locked, 0, ""},
        {CKR_PIN_LOCKED, 0, 835, "Token is blocked by SO PIN!"},
        {CKR_PIN_LEN_RANGE, 0, 836, "SO PIN is too long!"},
        {CKR_PIN_INCORRECT, locked | final, 837,
         "Wrong SO PIN\n\nYour token is blocked by SO PIN!"},
        {CKR_PIN_INCORRECT, final | low, 838,
         "Wrong SO PIN\n\n This is the LAST SO PIN attempt, if the PIN is still wrong, the token "
         "will be blocked."},
        {CKR_PIN_INCORRECT, low, 839, "Wrong SO PIN!"},
        {CKR_PIN_INCORRECT, CKF_USER_PIN_LOCKED, 839, "Wrong SO PIN!"},
    };
    for (const DecisionCase& c : cases)
        expectDecision(true, c);
}

TEST_F(PinFailureTest, LockedAndLengthResultsNeedNoTokenRead) {
    startWithToken();
    reportUserPinFailure(1, CKR_PIN_LOCKED, context());
    reportSoPinFailure(1, CKR_PIN_LEN_RANGE, context());
    EXPECT_TRUE(AdminFake::current().calls.empty());
    reportSoPinFailure(1, CKR_PIN_INCORRECT, context());
    EXPECT_EQ(AdminFake::current().calls, std::vector<std::string>{"C_GetTokenInfo"});
}

TEST_F(PinFailureTest, UnboundTableShowsNothing) {
    startWithToken();
    library.bindTables(nullptr, nullptr);
    reportUserPinFailure(1, CKR_PIN_INCORRECT, context());
    reportSoPinFailure(1, CKR_PIN_INCORRECT, context());
    library.bindTables(&fake().functions, &fake().aux);
    EXPECT_TRUE(messages().empty());
}

class TranslatedPinFailureTest : public PinFailureTest {
protected:
    void SetUp() override {
        PinFailureTest::SetUp();
        dir_ = std::filesystem::temp_directory_path() /
               ("korvan-admin-ops-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "test.lng") << "[settings]\nCodePage=2052\nLanguage=Test\n[strings]\n"
                                            "805=PIN falsch.\n10000=Verwaltung\n";
        ASSERT_TRUE(Translator::instance().loadFile((dir_ / "test.lng").string()));
    }
    void TearDown() override {
        Translator::instance().loadFile((dir_ / "absent.lng").string());
        std::filesystem::remove_all(dir_);
        PinFailureTest::TearDown();
    }
    std::filesystem::path dir_;
};

TEST_F(TranslatedPinFailureTest, FailedTokenReadShowsTranslatedUserTextWithLowerCaseCode) {
    startWithToken();
    fake().slotMap[1].tokenInfoResult = 0xE0;
    reportUserPinFailure(1, CKR_PIN_INCORRECT, context());
    reportSoPinFailure(1, CKR_PIN_INCORRECT, context());
    fake().slotMap[1].tokenInfoResult = 0xAB;
    reportSoPinFailure(1, CKR_PIN_INCORRECT, context());
    ASSERT_EQ(messages().size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(messages()[i].id, -1);
        EXPECT_EQ(messages()[i].text, "PIN falsch. [0x000000e0]");
        EXPECT_EQ(messages()[i].title, "Verwaltung");
        EXPECT_EQ(messages()[i].flags, MB_ICONERROR);
    }
    EXPECT_EQ(messages()[2].text, "PIN falsch. [0x000000ab]");
}

TEST_F(TranslatedPinFailureTest, LoginStepAfterWrongPinWithFailingTokenRead) {
    startWithToken();
    fake().loginResult = CKR_PIN_INCORRECT;
    AdminFake::current().tokenInfoResultAfterFailedLogin = 0xE0;
    LoginOutcome outcome = runLoginStep(1, SecurePin("0000"), context());
    EXPECT_EQ(outcome.end, DialogEnd::Cancel);
    EXPECT_FALSE(outcome.loggedIn);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "PIN falsch. [0x000000e0]");
}

using LoginStepTest = PinFailureTest;

TEST_F(LoginStepTest, ThreeWrongPinsWalkToBlocked) {
    startWithToken();
    AdminFake::current().retryLimit = 3;
    std::vector<int> ids;
    for (int i = 0; i < 4; ++i) {
        LoginOutcome outcome = runLoginStep(1, SecurePin("0000"), context());
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        ids.push_back(messages().back().id);
    }
    EXPECT_EQ(ids, (std::vector<int>{805, 804, 803, 801}));
}

TEST_F(LoginStepTest, SuccessLogsInAndRereadsTheToken) {
    startWithToken();
    fake().slotMap[1].label = "Renamed elsewhere";
    LoginOutcome outcome = runLoginStep(1, SecurePin("1234"), context());
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    EXPECT_TRUE(outcome.loggedIn);
    EXPECT_TRUE(manager.findSlot(1)->loggedIn);
    EXPECT_EQ(manager.findSlot(1)->tokenLabel(), "Renamed elsewhere");
    EXPECT_EQ(AdminFake::current().pins, std::vector<std::string>{"1234"});
    EXPECT_TRUE(messages().empty());
}

TEST_F(LoginStepTest, AlreadyLoggedInCountsAsSuccessWithoutMessage) {
    startWithToken();
    fake().loginResult = CKR_USER_ALREADY_LOGGED_IN;
    LoginOutcome outcome = runLoginStep(1, SecurePin("1234"), context());
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    EXPECT_TRUE(outcome.loggedIn);
    EXPECT_TRUE(messages().empty());
}

TEST_F(LoginStepTest, WrongPinShowsTheDecisionAndCancels) {
    startWithToken();
    fake().loginResult = CKR_PIN_INCORRECT;
    AdminFake::current().flagsAfterFailedLogin = CKF_USER_PIN_FINAL_TRY;
    LoginOutcome outcome = runLoginStep(1, SecurePin("9999"), context());
    EXPECT_EQ(outcome.end, DialogEnd::Cancel);
    EXPECT_FALSE(outcome.loggedIn);
    EXPECT_FALSE(manager.findSlot(1)->loggedIn);
    EXPECT_EQ(outcome.rv, CKR_PIN_INCORRECT);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, 804);
}

TEST_F(LoginStepTest, RemovedTokenEndsWithOkButNotLoggedIn) {
    startWithToken();
    manager.findSlot(1)->tokenPresent = false;
    LoginOutcome outcome = runLoginStep(1, SecurePin("1234"), context());
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    EXPECT_FALSE(outcome.loggedIn);
    EXPECT_TRUE(outcome.tokenRemoved);
    EXPECT_TRUE(AdminFake::current().calls.empty());
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, 5020);
    EXPECT_EQ(messages()[0].text, "Token is removed!");
    EXPECT_EQ(messages()[0].flags, MB_ICONERROR);
}

TEST_F(LoginStepTest, VanishedSlotCancelsSilently) {
    startWithToken();
    LoginOutcome outcome = runLoginStep(7, SecurePin("1234"), context());
    EXPECT_EQ(outcome.end, DialogEnd::Cancel);
    EXPECT_FALSE(outcome.loggedIn);
    EXPECT_TRUE(messages().empty());
}

TEST_F(LoginStepTest, LoginButtonFollowsTheTokensMinimum) {
    EXPECT_FALSE(loginEnabled({4, 16}, SecurePin("123")));
    EXPECT_TRUE(loginEnabled({4, 16}, SecurePin("1234")));
    EXPECT_TRUE(loginEnabled({0, 0}, SecurePin()));
    // Bytes, not characters: two two-byte characters reach four.
    EXPECT_TRUE(loginEnabled({4, 16}, SecurePin("\xc3\xa4\xc3\xb6")));
}

} // namespace
