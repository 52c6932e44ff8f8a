// Token initialization over the fake tables: defaults, the record handed to
// E_InitToken byte for byte, and every end of the operation.

#include "InitToken.h"
#include "AdminFakeFixture.h"
#include "MessageFlags.h"
#include "ProductConfig.h"

#include <algorithm>
#include <cstring>

namespace {

class InitTokenTest : public AdminFakeTest {
protected:
    static InitTokenInput input() {
        InitTokenInput in;
        in.currentSoPin.assign("so-old-1");
        in.soPin.assign("so-secret");
        in.userPin.assign("user1");
        in.label = "Fresh token";
        in.soPinErrorCount = 0x0A;
        in.userPinErrorCount = 0x03;
        in.publicMemorySize = 0x00012345;
        in.privateMemorySize = 0x0000ABCD;
        return in;
    }
    std::vector<std::string> calls() const { return AdminFake::current().calls; }
    // Runs the initialization with the erase question answered by `answer`.
    InitTokenOutcome run(CK_SLOT_ID slotId, const InitTokenInput& in) {
        return runInitToken(slotId, in, context(), [this](const std::string& text) {
            questions.push_back(text);
            return answer;
        });
    }
    bool answer = true;
    std::vector<std::string> questions;
};

TEST_F(InitTokenTest, ErrorCountsComeFromBytesZeroAndTwo) {
    startWithToken();
    AdminFake::current().pinErrorCounts = {9, 0x55, 4, {0x66, 0x66, 0x66, 0x66, 0x66}};
    PinErrorCountSettings counts = readPinErrorCounts(1, context());
    EXPECT_EQ(counts.soPinErrorCount, 9);
    EXPECT_EQ(counts.userPinErrorCount, 4);
}

TEST_F(InitTokenTest, ErrorCountsDefaultToSixWhenUnavailable) {
    startWithToken();
    AdminFake::current().pinErrorCountsResult = CKR_DEVICE_ERROR;
    PinErrorCountSettings counts = readPinErrorCounts(1, context());
    EXPECT_EQ(counts.soPinErrorCount, 6);
    EXPECT_EQ(counts.userPinErrorCount, 6);

    fake().aux.E_GetPinErrorCounts = nullptr;
    counts = readPinErrorCounts(1, context());
    EXPECT_EQ(counts.soPinErrorCount, 6);
    EXPECT_EQ(counts.userPinErrorCount, 6);

    AdminFake::current().pinErrorCountsResult = CKR_OK;
    AdminFake::install(fake());
    library.bindTables(nullptr, &fake().aux);
    counts = readPinErrorCounts(1, context());
    library.bindTables(&fake().functions, &fake().aux);
    EXPECT_EQ(counts.userPinErrorCount, 6);
    EXPECT_TRUE(calls().empty());
}

TEST_F(InitTokenTest, DefaultsTakeTheTokensTotalsAndTrimmedLabel) {
    FakeSlot slot = tokenSlot();
    slot.label = "Team key  ";
    startWithToken(slot);
    AdminFake::current().pinErrorCounts.soPinErrorCount = 8;
    AdminFake::current().pinErrorCounts.userPinErrorCount = 5;
    InitTokenDefaults defaults = readInitTokenDefaults(1, context());
    EXPECT_EQ(defaults.bounds.minimum, 4u);
    EXPECT_EQ(defaults.bounds.maximum, 16u);
    EXPECT_EQ(defaults.publicMemorySize, 32000u);
    EXPECT_EQ(defaults.privateMemorySize, 30000u);
    EXPECT_EQ(defaults.label, "Team key");
    EXPECT_EQ(defaults.counts.soPinErrorCount, 8);
    EXPECT_EQ(defaults.counts.userPinErrorCount, 5);

    InitTokenDefaults none = readInitTokenDefaults(42, context());
    EXPECT_EQ(none.bounds.minimum, 0u);
    EXPECT_EQ(none.publicMemorySize, 0u);
    EXPECT_TRUE(none.label.empty());
}

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

TEST_F(InitTokenTest, RecordHandedToTheLibraryIsExactlyTheLayout) {
    startWithToken();
    InitTokenOutcome outcome = run(1, input());
    ASSERT_TRUE(outcome.succeeded);
    const std::vector<std::uint8_t>& r = AdminFake::current().initRecord;
    ASSERT_EQ(r.size(), static_cast<std::size_t>(TOKEN_INIT_PARAMS_SIZE));
    ASSERT_EQ(sizeof(void*), 8u) << "offsets below are those of the 64-bit build";
    ASSERT_EQ(r.size(), 50u);
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(r[1], 0);
    EXPECT_EQ(le32(r, 10), 0u); // reserved6
    EXPECT_EQ(r[30], 0x0A);     // SO PIN error count
    EXPECT_EQ(r[31], 0x03);     // user PIN error count
    EXPECT_EQ(r[32], 9);
    EXPECT_EQ(r[33], 9);
    EXPECT_EQ(le32(r, 34), 0x00012345u); // public memory
    EXPECT_EQ(le32(r, 38), 0x0000ABCDu); // private memory
    EXPECT_EQ(le32(r, 42), 0u);          // reserved30
    EXPECT_EQ(le32(r, 46), std::uint32_t{productConfig.tokenInitParameter});
    EXPECT_EQ(le32(r, 46), 0x00000900u);
    // The three pointers sit at 2, 14 and 22 and point at the texts.
    EXPECT_EQ(AdminFake::current().initLabel, "Fresh token");
    EXPECT_EQ(AdminFake::current().initSoPin, "so-secret");
    EXPECT_EQ(AdminFake::current().initUserPin, "user1");
    TokenInitParams params;
    std::memcpy(&params, r.data(), r.size());
    EXPECT_NE(static_cast<const char*>(params.label), nullptr);
    EXPECT_EQ(offsetof(TokenInitParams, label), 2u);
    EXPECT_EQ(offsetof(TokenInitParams, userPin), 22u);
}

TEST_F(InitTokenTest, FillPointsIntoTheInputAndCopiesTheProductValue) {
    InitTokenInput in = input();
    TokenInitParams params = fillTokenInitParams(in);
    EXPECT_EQ(static_cast<const char*>(params.label), in.label.c_str());
    EXPECT_EQ(static_cast<const char*>(params.soPin), in.soPin.c_str());
    EXPECT_EQ(static_cast<const char*>(params.userPin), in.userPin.c_str());
    EXPECT_EQ(std::uint32_t{params.tokenInitParameter},
              std::uint32_t{productConfig.tokenInitParameter});
}

TEST_F(InitTokenTest, SessionsAreClosedBeforeInitializationAndSuccessIsReported) {
    startWithToken();
    InitTokenOutcome outcome = run(1, input());
    // The current SO PIN is checked in a session of its own, which ends
    // before the token is erased.
    EXPECT_EQ(calls(), (std::vector<std::string>{
                           "C_GetTokenInfo", "C_OpenSession(6)", "C_GetSessionInfo", "C_Logout",
                           "C_Logout", "C_Login(SO)", "C_Logout", "C_CloseSession", "C_Logout",
                           "C_CloseAllSessions", "E_InitToken"}));
    EXPECT_EQ(AdminFake::current().pins, (std::vector<std::string>{"so-old-1"}));
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_TRUE(outcome.tokenTouched);
    EXPECT_EQ(outcome.newName, "Fresh token");
    EXPECT_EQ(outcome.newPin.view(), "user1");
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, 855);
    EXPECT_EQ(messages()[0].text, "Inistialize token successfully!");
    EXPECT_EQ(messages()[0].flags, MB_ICONINFORMATION);
}

// A second initialization in the same run must not meet the first token's
// login or session: both end before the token is initialized, whatever the
// library answers.
TEST_F(InitTokenTest, EntryLoginAndSessionEndBeforeInitialization) {
    startWithToken();
    for (CK_RV initResult : {CKR_OK, CKR_PIN_INVALID}) {
        AdminFake::current().initTokenResult = initResult;
        SlotEntry* entry = manager.findSlot(1);
        const char pin[] = "1234";
        ASSERT_EQ(entry->login(reinterpret_cast<const CK_UTF8CHAR*>(pin), 4), CKR_OK);
        CK_SESSION_HANDLE before = CK_INVALID_HANDLE;
        ASSERT_EQ(entry->getSession(&before), CKR_OK);
        AdminFake::current().calls.clear();

        run(1, input());
        EXPECT_FALSE(entry->loggedIn) << initResult;
        // The entry's login and session end before the SO login, and no
        // session is left when the token is initialized.
        std::vector<std::string> seen = calls();
        auto at = [&](const char* call) {
            return std::find(seen.begin(), seen.end(), call) - seen.begin();
        };
        EXPECT_LT(at("C_CloseSession"), at("C_Login(SO)")) << initResult;
        ASSERT_GE(seen.size(), 2u);
        EXPECT_EQ(seen[seen.size() - 2], "C_CloseAllSessions") << initResult;
        EXPECT_EQ(seen.back(), "E_InitToken") << initResult;
        CK_SESSION_HANDLE after = CK_INVALID_HANDLE;
        ASSERT_EQ(entry->getSession(&after), CKR_OK);
        EXPECT_NE(after, before) << "the closed session was handed out again";
    }
}

TEST_F(InitTokenTest, LibraryRefusalShows1109ExceptAlreadyLoggedIn) {
    startWithToken();
    AdminFake::current().initTokenResult = CKR_PIN_INVALID;
    InitTokenOutcome outcome = run(1, input());
    EXPECT_EQ(outcome.end, DialogEnd::Cancel);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_TRUE(outcome.tokenTouched);
    EXPECT_TRUE(outcome.newName.empty());
    EXPECT_TRUE(outcome.newPin.empty());
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, 1109);
    EXPECT_EQ(messages()[0].text, "Failed to initialize token, please check your input!");
    EXPECT_EQ(messages()[0].flags, MB_ICONERROR);

    AdminFake::current().initTokenResult = CKR_USER_ALREADY_LOGGED_IN;
    outcome = run(1, input());
    EXPECT_EQ(outcome.end, DialogEnd::Cancel);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(messages().size(), 1u);
}

TEST_F(InitTokenTest, MissingEntryOrTableReports190InUpperCase) {
    startWithToken();
    InitTokenOutcome outcome = run(3, input());
    EXPECT_EQ(outcome.end, DialogEnd::Cancel);
    library.bindTables(nullptr, nullptr);
    InitTokenOutcome unbound = run(1, input());
    library.bindTables(&fake().functions, &fake().aux);
    EXPECT_EQ(unbound.end, DialogEnd::Cancel);
    ASSERT_EQ(messages().size(), 2u);
    for (const MessageRequest& shown : messages()) {
        EXPECT_EQ(shown.text, "Initialize token failed! [0x00000190]");
        EXPECT_EQ(shown.flags, MB_ICONERROR);
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(InitTokenTest, RemovedTokenEndsWithOkAndTouchesNothing) {
    startWithToken();
    manager.findSlot(1)->tokenPresent = false;
    InitTokenOutcome outcome = run(1, input());
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_TRUE(outcome.tokenRemoved);
    EXPECT_TRUE(calls().empty());
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, 5020);
}

TEST(InitTokenRules, OkAtEveryBoundary) {
    const PinBounds b{4, 16};
    const SecurePin so("abcd"), user("1234"), shortPin("123");
    EXPECT_TRUE(initTokenOkEnabled(b, so, "n", user, 14, 14, 63999, 63999));
    EXPECT_FALSE(initTokenOkEnabled(b, so, "n", user, 15, 14, 63999, 63999));
    EXPECT_FALSE(initTokenOkEnabled(b, so, "n", user, 14, 15, 63999, 63999));
    EXPECT_FALSE(initTokenOkEnabled(b, so, "n", user, 14, 14, 64000, 63999));
    EXPECT_FALSE(initTokenOkEnabled(b, so, "n", user, 14, 14, 63999, 64000));
    EXPECT_FALSE(initTokenOkEnabled(b, so, "", user, 0, 0, 0, 0));
    EXPECT_FALSE(initTokenOkEnabled(b, shortPin, "n", user, 0, 0, 0, 0));
    EXPECT_FALSE(initTokenOkEnabled(b, so, "n", shortPin, 0, 0, 0, 0));
    EXPECT_TRUE(initTokenOkEnabled({0, 0}, SecurePin(), "n", SecurePin(), 0, 0, 0, 0));
}

TEST_F(InitTokenTest, OverlongPinsAreRefusedBeforeTheTokenIsTouched) {
    startWithToken();
    for (bool soPinTooLong : {true, false}) {
        SCOPED_TRACE(soPinTooLong);
        InitTokenInput in = input();
        (soPinTooLong ? in.soPin : in.userPin).assign(std::string(kMaxPinBytes + 1, 'x'));
        InitTokenOutcome outcome = run(1, in);
        EXPECT_TRUE(calls().empty());
        EXPECT_EQ(outcome.rv, CKR_PIN_LEN_RANGE);
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        EXPECT_FALSE(outcome.succeeded);
        EXPECT_FALSE(outcome.tokenTouched);
        EXPECT_EQ(messages().back().text, "Initialize token failed! [0x000000A2]");
    }
}

// The attack: an initialized token erased by anyone at the desk. Without its
// current SO PIN, or without an OK to the question, nothing is erased.
TEST_F(InitTokenTest, AWrongOrBlockedSoPinErasesNothing) {
    startWithToken();
    const std::pair<CK_RV, int> refusals[] = {{CKR_PIN_INCORRECT, 839}, {CKR_PIN_LOCKED, 835}};
    for (const auto& [rv, messageId] : refusals) {
        SCOPED_TRACE(rv);
        fake().loginResult = rv;
        AdminFake::current().calls.clear();
        InitTokenOutcome outcome = run(1, input());
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        EXPECT_FALSE(outcome.succeeded);
        EXPECT_EQ(outcome.rv, rv);
        EXPECT_TRUE(questions.empty());
        std::vector<std::string> seen = calls();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "E_InitToken"), 0);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "C_CloseAllSessions"), 0);
        ASSERT_FALSE(messages().empty());
        EXPECT_EQ(messages().back().id, messageId);
    }
}

TEST_F(InitTokenTest, TheQuestionNamesTokenSerialAndObjectsAndCancelKeepsTheToken) {
    startWithToken();
    fake().objects.resize(3);
    fake().objects[2].objectClass = CKO_CERTIFICATE;
    answer = false;
    InitTokenOutcome declined = run(1, input());
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "Initialize the token \"ABCDEFG\" (serial number 123456789012)?\n"
                            "Its 3 public objects and all its private objects will be lost.");
    EXPECT_TRUE(declined.declined);
    EXPECT_EQ(declined.end, DialogEnd::StayOpen);
    EXPECT_FALSE(declined.succeeded);
    std::vector<std::string> seen = calls();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "E_InitToken"), 0);
    EXPECT_TRUE(messages().empty());

    // Logged in as the user, the private objects are among those counted.
    AdminFake::current().sessionState = CKS_RW_USER_FUNCTIONS;
    answer = true;
    InitTokenOutcome done = run(1, input());
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[1], "Initialize the token \"ABCDEFG\" (serial number 123456789012)?\n"
                            "All 3 objects on it will be lost.");
    EXPECT_TRUE(done.succeeded);
}

TEST_F(InitTokenTest, TheMessageBoxQuestionDefaultsToCancel) {
    startWithToken();
    // Unscripted, the presenter presses the default button, as Enter would.
    InitTokenOutcome outcome = runInitToken(1, input(), context());
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, -1);
    EXPECT_EQ(messages()[0].flags, MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2);
    EXPECT_TRUE(outcome.declined);
    std::vector<std::string> seen = calls();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "E_InitToken"), 0);

    presenter.pushAnswer(IDOK);
    EXPECT_TRUE(runInitToken(1, input(), context()).succeeded);
}

TEST_F(InitTokenTest, ATokenNeverInitializedIsInitializedWithoutSoPinOrQuestion) {
    FakeSlot slot = tokenSlot();
    slot.tokenFlags = CKF_LOGIN_REQUIRED;
    startWithToken(slot);
    InitTokenInput in = input();
    in.currentSoPin.clear();
    InitTokenOutcome outcome = run(1, in);
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_TRUE(questions.empty());
    std::vector<std::string> seen = calls();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "C_Login(SO)"), 0);
}

} // namespace
