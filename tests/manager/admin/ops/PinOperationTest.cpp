// The PIN operation shared by the user PIN change, the unblock and the SO
// PIN change: call sequence, messages and outcome per dialog.

#include "PinOperation.h"
#include "AdminFakeFixture.h"
#include "LoginStep.h"
#include "MessageFlags.h"

#include <algorithm>

namespace {

using Calls = std::vector<std::string>;

class PinOperationTest : public AdminFakeTest {
protected:
    PinOperationOutcome run(PinOperationKind kind, CK_SLOT_ID slot = 1) {
        return runPinOperation(kind, slot, SecurePin("oldpin"), SecurePin("newpin12"), context());
    }
    Calls calls() const { return AdminFake::current().calls; }
};

struct SuccessCase {
    PinOperationKind kind;
    Calls calls;
    int id;
    const char* text;
};

TEST_F(PinOperationTest, SuccessfulRunsMakeTheirRowsCalls) {
    startWithToken();
    const SuccessCase cases[] = {
        {PinOperationKind::ChangeUserPin,
         {"C_OpenSession(6)", "C_Logout", "C_Login(USER)", "C_SetPIN", "C_CloseSession"},
         814,
         "Change User PIN successfully!"},
        {PinOperationKind::UnblockToken,
         {"C_OpenSession(6)", "C_Logout", "C_Login(SO)", "C_InitPIN", "C_Logout", "C_CloseSession"},
         844,
         "Unblock token successfully!"},
        // The last C_Logout is the slot entry's own logout.
        {PinOperationKind::ChangeSoPin,
         {"C_OpenSession(6)", "C_Logout", "C_Login(SO)", "C_SetPIN", "C_Logout", "C_CloseSession",
          "C_Logout"},
         834,
         "Change SO PIN successfully!"},
    };
    for (const SuccessCase& c : cases) {
        SCOPED_TRACE(pinOperationRow(c.kind).dialogId);
        AdminFake::current().calls.clear();
        manager.findSlot(1)->loggedIn = true;
        PinOperationOutcome outcome = run(c.kind);
        EXPECT_EQ(calls(), c.calls);
        EXPECT_EQ(outcome.end, DialogEnd::Ok);
        EXPECT_TRUE(outcome.succeeded);
        EXPECT_TRUE(outcome.tokenTouched);
        EXPECT_EQ(outcome.rv, CKR_OK);
        ASSERT_FALSE(messages().empty());
        EXPECT_EQ(messages().back().id, c.id);
        EXPECT_EQ(messages().back().text, c.text);
        EXPECT_EQ(messages().back().flags, MB_ICONINFORMATION);
        // Only the SO PIN change logs the slot entry out.
        EXPECT_EQ(manager.findSlot(1)->loggedIn.load(), c.kind != PinOperationKind::ChangeSoPin);
    }
    EXPECT_TRUE(fake().openSessions.empty());
}

TEST_F(PinOperationTest, PinsGoToTheTokenAsTyped) {
    startWithToken();
    PinOperationOutcome outcome = run(PinOperationKind::ChangeUserPin);
    EXPECT_EQ(AdminFake::current().pins, (Calls{"oldpin", "oldpin", "newpin12"}));
    EXPECT_EQ(outcome.newPin.view(), "newpin12");

    AdminFake::current().pins.clear();
    outcome = run(PinOperationKind::UnblockToken);
    EXPECT_EQ(AdminFake::current().pins, (Calls{"oldpin", "newpin12"}));
    EXPECT_EQ(outcome.newPin.view(), "newpin12");
}

struct FailureCase {
    PinOperationKind kind;
    CK_RV rv;
    Calls calls;
    const char* text;
};

TEST_F(PinOperationTest, FailedOperationShowsItsComposedText) {
    startWithToken();
    const FailureCase cases[] = {
        {PinOperationKind::ChangeUserPin,
         CKR_PIN_LEN_RANGE,
         {"C_OpenSession(6)", "C_Logout", "C_Login(USER)", "C_SetPIN", "C_CloseSession"},
         "Change User PIN failed! [0x000000A2]"},
        {PinOperationKind::UnblockToken,
         CKR_PIN_INVALID,
         {"C_OpenSession(6)", "C_Logout", "C_Login(SO)", "C_InitPIN", "C_Logout", "C_CloseSession"},
         "Unblock token failed! [0x000000A1]"},
        {PinOperationKind::ChangeSoPin,
         0xABCDEF,
         {"C_OpenSession(6)", "C_Logout", "C_Login(SO)", "C_SetPIN", "C_Logout", "C_CloseSession"},
         "Change SO PIN failed![0x00ABCDEF]"},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(pinOperationRow(c.kind).dialogId);
        AdminFake::current().calls.clear();
        AdminFake::current().setPinResult = c.rv;
        AdminFake::current().initPinResult = c.rv;
        manager.findSlot(1)->loggedIn = true;
        PinOperationOutcome outcome = run(c.kind);
        EXPECT_EQ(calls(), c.calls);
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        EXPECT_FALSE(outcome.succeeded);
        EXPECT_TRUE(outcome.tokenTouched);
        EXPECT_TRUE(outcome.newPin.empty());
        EXPECT_EQ(outcome.rv, c.rv);
        ASSERT_FALSE(messages().empty());
        EXPECT_EQ(messages().back().id, -1);
        EXPECT_EQ(messages().back().text, c.text);
        EXPECT_EQ(messages().back().flags, MB_ICONERROR);
        EXPECT_TRUE(manager.findSlot(1)->loggedIn);
    }
}

TEST_F(PinOperationTest, FailedLoginUsesTheMatchingDecisionAndClosesWithoutLogout) {
    startWithToken();
    fake().loginResult = CKR_PIN_INCORRECT;
    AdminFake::current().flagsAfterFailedLogin = CKF_USER_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY;
    const std::pair<PinOperationKind, int> cases[] = {{PinOperationKind::ChangeUserPin, 805},
                                                      {PinOperationKind::UnblockToken, 838},
                                                      {PinOperationKind::ChangeSoPin, 838}};
    for (auto [kind, id] : cases) {
        SCOPED_TRACE(id);
        AdminFake::current().calls.clear();
        PinOperationOutcome outcome = run(kind);
        Calls expected = {"C_OpenSession(6)", "C_Logout",
                          kind == PinOperationKind::ChangeUserPin ? "C_Login(USER)" : "C_Login(SO)",
                          "C_GetTokenInfo", "C_CloseSession"};
        EXPECT_EQ(calls(), expected);
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        EXPECT_TRUE(outcome.tokenTouched);
        EXPECT_FALSE(outcome.succeeded);
        EXPECT_EQ(messages().back().id, id);
    }
}

// A token that still holds a login answers 0x100: that is a login, and the
// PIN is changed as after CKR_OK.
TEST_F(PinOperationTest, AlreadyLoggedInCountsAsASuccessfulLogin) {
    startWithToken();
    fake().loginResult = CKR_USER_ALREADY_LOGGED_IN;
    const std::tuple<PinOperationKind, const char*, int> cases[] = {
        {PinOperationKind::ChangeUserPin, "C_SetPIN", 814},
        {PinOperationKind::UnblockToken, "C_InitPIN", 844},
        {PinOperationKind::ChangeSoPin, "C_SetPIN", 834}};
    for (auto [kind, change, id] : cases) {
        SCOPED_TRACE(id);
        AdminFake::current().calls.clear();
        PinOperationOutcome outcome = run(kind);
        Calls made = calls();
        EXPECT_NE(std::find(made.begin(), made.end(), change), made.end());
        EXPECT_EQ(outcome.end, DialogEnd::Ok);
        EXPECT_TRUE(outcome.succeeded);
        EXPECT_EQ(outcome.rv, CKR_OK);
        ASSERT_FALSE(messages().empty());
        EXPECT_EQ(messages().back().id, id);
    }
    EXPECT_TRUE(fake().openSessions.empty());
}

TEST_F(PinOperationTest, ThreeWrongSoPinsInUnblockWalkToBlocked) {
    startWithToken();
    AdminFake::current().retryLimit = 3;
    std::vector<int> ids;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(run(PinOperationKind::UnblockToken).end, DialogEnd::Cancel);
        ids.push_back(messages().back().id);
    }
    EXPECT_EQ(ids, (std::vector<int>{839, 838, 837, 835}));
}

TEST_F(PinOperationTest, SoPinLockedInUnblockShows835) {
    startWithToken();
    fake().loginResult = CKR_PIN_LOCKED;
    PinOperationOutcome outcome = run(PinOperationKind::UnblockToken);
    EXPECT_EQ(outcome.end, DialogEnd::Cancel);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, 835);
    EXPECT_EQ(messages()[0].text, "Token is blocked by SO PIN!");
}

TEST_F(PinOperationTest, MissingEntryOrTableFollowsEachRow) {
    startWithToken();
    struct Case {
        PinOperationKind kind;
        DialogEnd end;
        const char* text; // nullptr: no message
    };
    const Case cases[] = {
        {PinOperationKind::ChangeUserPin, DialogEnd::StayOpen, nullptr},
        {PinOperationKind::UnblockToken, DialogEnd::Cancel, "Unblock token failed! [0x00000190]"},
        {PinOperationKind::ChangeSoPin, DialogEnd::Cancel, "Change SO PIN failed![0x00000000]"},
    };
    for (bool unbound : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << pinOperationRow(c.kind).dialogId
                                            << (unbound ? " unbound" : " missing entry"));
            std::size_t before = messages().size();
            if (unbound)
                library.bindTables(nullptr, nullptr);
            PinOperationOutcome outcome = run(c.kind, unbound ? 1 : 5);
            library.bindTables(&fake().functions, &fake().aux);
            EXPECT_EQ(outcome.end, c.end);
            EXPECT_TRUE(outcome.tokenTouched);
            EXPECT_FALSE(outcome.succeeded);
            if (c.text == nullptr) {
                EXPECT_EQ(messages().size(), before);
            } else {
                ASSERT_EQ(messages().size(), before + 1);
                EXPECT_EQ(messages().back().text, c.text);
                EXPECT_EQ(messages().back().flags, MB_ICONERROR);
            }
        }
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(PinOperationTest, FailingOpenSessionIsReportedForEveryRow) {
    startWithToken();
    fake().openSessionResult = CKR_SESSION_COUNT;
    const std::pair<PinOperationKind, const char*> cases[] = {
        {PinOperationKind::ChangeUserPin, "Change User PIN failed! [0x000000B1]"},
        {PinOperationKind::UnblockToken, "Unblock token failed! [0x000000B1]"},
        {PinOperationKind::ChangeSoPin, "Change SO PIN failed![0x000000B1]"},
    };
    for (auto [kind, text] : cases) {
        AdminFake::current().calls.clear();
        PinOperationOutcome outcome = run(kind);
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        EXPECT_EQ(messages().back().text, text);
        // Nothing to log out or close.
        EXPECT_EQ(calls(), Calls{"C_OpenSession(6)"});
    }
}

TEST_F(PinOperationTest, RemovedTokenEndsWithOkAndChangesNothing) {
    startWithToken();
    manager.findSlot(1)->tokenPresent = false;
    manager.findSlot(1)->loggedIn = true;
    for (PinOperationKind kind : {PinOperationKind::ChangeUserPin, PinOperationKind::UnblockToken,
                                  PinOperationKind::ChangeSoPin}) {
        PinOperationOutcome outcome = run(kind);
        EXPECT_EQ(outcome.end, DialogEnd::Ok);
        EXPECT_EQ(dialogResult(outcome.end), IDOK);
        EXPECT_FALSE(outcome.succeeded);
        EXPECT_TRUE(outcome.tokenRemoved);
        EXPECT_EQ(messages().back().id, 5020);
        EXPECT_EQ(messages().back().text, "Token is removed!");
        EXPECT_EQ(messages().back().flags, MB_ICONERROR);
    }
    EXPECT_EQ(messages().size(), 3u);
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(manager.findSlot(1)->loggedIn);
}

TEST_F(PinOperationTest, OkRulesAtTheirBoundaries) {
    const PinBounds b{4, 16};
    auto ok = [&](PinOperationKind kind, const char* pin1, const char* next, const char* confirm) {
        return pinOperationOkEnabled(kind, b, SecurePin(pin1), SecurePin(next), SecurePin(confirm));
    };
    for (PinOperationKind kind : {PinOperationKind::ChangeUserPin, PinOperationKind::UnblockToken,
                                  PinOperationKind::ChangeSoPin}) {
        SCOPED_TRACE(pinOperationRow(kind).dialogId);
        EXPECT_TRUE(ok(kind, "1234", "5678", "5678"));
        EXPECT_FALSE(ok(kind, "123", "5678", "5678"));  // PIN 1 below the minimum
        EXPECT_FALSE(ok(kind, "1234", "567", "567"));   // equal but short
        EXPECT_FALSE(ok(kind, "1234", "5678", "5679")); // one character differs
        EXPECT_FALSE(ok(kind, "1234", "56789", "5678"));
        EXPECT_FALSE(ok(kind, "1234", "5678", "56789"));
    }
    // Without a slot entry both bounds are 0 and empty PINs pass.
    EXPECT_TRUE(pinOperationOkEnabled(PinOperationKind::ChangeUserPin, {0, 0}, SecurePin(),
                                      SecurePin(), SecurePin()));
}

TEST(PinOperationRows, LabelsFormatTheBounds) {
    EXPECT_EQ(pinBoundsLabel(811, pinOperationRow(PinOperationKind::ChangeUserPin).boundsLabelText,
                             {4, 16}),
              "New User PIN (4 to 16 characters):");
    EXPECT_EQ(pinBoundsLabel(841, pinOperationRow(PinOperationKind::UnblockToken).boundsLabelText,
                             {6, 8}),
              "New User PIN(6 to 8 characters):");
    EXPECT_EQ(
        pinBoundsLabel(831, pinOperationRow(PinOperationKind::ChangeSoPin).boundsLabelText, {0, 0}),
        "New SO PIN(0 to 0 characters):");
    // A language file's stray directive is shown, never read as a format.
    EXPECT_EQ(pinBoundsLabel(99999, "%s%n %d%% %d %d", {1, 2}), "%s%n 1% 2 %d");
}

TEST_F(PinOperationTest, OverlongPinsAreRefusedWithoutAskingTheToken) {
    startWithToken();
    const SecurePin longest(std::string(kMaxPinBytes, '7'));
    const SecurePin overlong(std::string(kMaxPinBytes + 1, '7'));

    // PIN 1 too long: the login's "too long" text of the row's user.
    const std::pair<PinOperationKind, int> loginCases[] = {{PinOperationKind::ChangeUserPin, 802},
                                                           {PinOperationKind::UnblockToken, 836},
                                                           {PinOperationKind::ChangeSoPin, 836}};
    for (auto [kind, id] : loginCases) {
        SCOPED_TRACE(id);
        AdminFake::current().calls.clear();
        PinOperationOutcome outcome =
            runPinOperation(kind, 1, overlong, SecurePin("newpin12"), context());
        EXPECT_TRUE(calls().empty());
        EXPECT_EQ(outcome.rv, CKR_PIN_LEN_RANGE);
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        EXPECT_FALSE(outcome.tokenTouched);
        EXPECT_EQ(messages().back().id, id);
    }

    // New PIN too long: the operation's failure with the code.
    AdminFake::current().calls.clear();
    PinOperationOutcome outcome = runPinOperation(PinOperationKind::ChangeUserPin, 1,
                                                  SecurePin("oldpin"), overlong, context());
    EXPECT_TRUE(calls().empty());
    EXPECT_EQ(outcome.rv, CKR_PIN_LEN_RANGE);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(messages().back().text, "Change User PIN failed! [0x000000A2]");

    // The limit itself still reaches the token.
    outcome = runPinOperation(PinOperationKind::ChangeUserPin, 1, longest, longest, context());
    EXPECT_TRUE(outcome.succeeded);
    EXPECT_FALSE(calls().empty());

    fake().loginSessions.clear();
    LoginOutcome login = runLoginStep(1, overlong, context());
    EXPECT_FALSE(login.loggedIn);
    EXPECT_EQ(login.rv, CKR_PIN_LEN_RANGE);
    EXPECT_TRUE(fake().loginSessions.empty());
    EXPECT_EQ(messages().back().id, 802);
    EXPECT_TRUE(runLoginStep(1, longest, context()).loggedIn);
}

} // namespace
