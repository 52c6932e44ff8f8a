// The operations against the software token: PIN counters, blocking and
// unblocking, initialization and rename as a real token carries them out.

#include "InitToken.h"
#include "LoginStep.h"
#include "PinOperation.h"
#include "RealTokenFixture.h"
#include "RenameToken.h"

#include <cstring>

namespace {

TEST_F(RealTokenTest, WrongUserPinWalksToBlocked) {
    for (int i = 0; i < 3; ++i) {
        LoginOutcome outcome = runLoginStep(1, SecurePin("0000"), context());
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        EXPECT_FALSE(outcome.loggedIn);
        EXPECT_EQ(outcome.rv, CKR_PIN_INCORRECT);
    }
    // Blocked now: even the right PIN is refused.
    LoginOutcome outcome = runLoginStep(1, SecurePin(kUserPin), context());
    EXPECT_FALSE(outcome.loggedIn);
    EXPECT_EQ(outcome.rv, CKR_PIN_LOCKED);
    EXPECT_EQ(messageIds(), (std::vector<int>{805, 804, 803, 801}));
}

TEST_F(RealTokenTest, WrongSoPinInUnblockWalksToBlocked) {
    for (int i = 0; i < 4; ++i) {
        PinOperationOutcome outcome = runPinOperation(
            PinOperationKind::UnblockToken, 1, SecurePin("00000000"), SecurePin("5678"), context());
        EXPECT_EQ(outcome.end, DialogEnd::Cancel);
        EXPECT_TRUE(outcome.tokenTouched);
        EXPECT_FALSE(outcome.succeeded);
    }
    EXPECT_EQ(messageIds(), (std::vector<int>{839, 838, 837, 835}));
}

TEST_F(RealTokenTest, ChangedUserPinLogsIn) {
    PinOperationOutcome outcome = runPinOperation(
        PinOperationKind::ChangeUserPin, 1, SecurePin(kUserPin), SecurePin("24680"), context());
    ASSERT_TRUE(outcome.succeeded);
    EXPECT_EQ(outcome.newPin.view(), "24680");
    EXPECT_EQ(messageIds(), std::vector<int>{814});
    EXPECT_FALSE(runLoginStep(1, SecurePin(kUserPin), context()).loggedIn);
    EXPECT_TRUE(runLoginStep(1, SecurePin("24680"), context()).loggedIn);
}

TEST_F(RealTokenTest, TooShortNewPinIsTheTokensRefusal) {
    PinOperationOutcome outcome = runPinOperation(PinOperationKind::ChangeUserPin, 1,
                                                  SecurePin(kUserPin), SecurePin("12"), context());
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(outcome.rv, CKR_PIN_LEN_RANGE);
    ASSERT_EQ(presenter.requests().size(), 1u);
    EXPECT_EQ(presenter.requests()[0].text, "Change User PIN failed! [0x000000A2]");
    EXPECT_TRUE(runLoginStep(1, SecurePin(kUserPin), context()).loggedIn);
}

TEST_F(RealTokenTest, UnblockLiftsTheBlockWithTheNewPin) {
    for (int i = 0; i < 3; ++i)
        runLoginStep(1, SecurePin("0000"), context());
    PinOperationOutcome outcome = runPinOperation(PinOperationKind::UnblockToken, 1,
                                                  SecurePin(kSoPin), SecurePin("97531"), context());
    ASSERT_TRUE(outcome.succeeded);
    EXPECT_EQ(presenter.requests().back().id, 844);
    EXPECT_TRUE(runLoginStep(1, SecurePin("97531"), context()).loggedIn);
}

TEST_F(RealTokenTest, ChangedSoPinLogsTheSlotOutAndUnblocksAfterwards) {
    ASSERT_TRUE(runLoginStep(1, SecurePin(kUserPin), context()).loggedIn);
    PinOperationOutcome outcome = runPinOperation(
        PinOperationKind::ChangeSoPin, 1, SecurePin(kSoPin), SecurePin("11223344"), context());
    ASSERT_TRUE(outcome.succeeded);
    EXPECT_EQ(presenter.requests().back().id, 834);
    EXPECT_FALSE(slot().loggedIn);
    EXPECT_FALSE(runPinOperation(PinOperationKind::UnblockToken, 1, SecurePin(kSoPin),
                                 SecurePin("4444"), context())
                     .succeeded);
    EXPECT_TRUE(runPinOperation(PinOperationKind::UnblockToken, 1, SecurePin("11223344"),
                                SecurePin("4444"), context())
                    .succeeded);
}

TEST_F(RealTokenTest, InitializationSetsLabelPinsLimitsAndMemory) {
    InitTokenDefaults defaults = readInitTokenDefaults(1, context());
    EXPECT_EQ(defaults.counts.soPinErrorCount, 3);
    EXPECT_EQ(defaults.counts.userPinErrorCount, 3);
    EXPECT_EQ(defaults.label, "Demo token");

    InitTokenInput input;
    input.currentSoPin.assign(kSoPin);
    input.soPin.assign("so-pin-2");
    input.userPin.assign("user-2");
    input.label = "Reborn";
    input.soPinErrorCount = 5;
    input.userPinErrorCount = 4;
    input.publicMemorySize = 20000;
    input.privateMemorySize = 10000;
    std::string question;
    InitTokenOutcome outcome = runInitToken(1, input, context(), [&](const std::string& text) {
        question = text;
        return true;
    });
    ASSERT_TRUE(outcome.succeeded);
    EXPECT_EQ(messageIds(), std::vector<int>{855});
    EXPECT_NE(question.find("\"Demo token\""), std::string::npos) << question;

    // As the tree does afterwards: forget the closed session, re-read.
    slot().logout();
    ASSERT_TRUE(slot().refreshTokenInfo());
    EXPECT_EQ(slot().tokenLabel(), "Reborn");
    EXPECT_EQ(slot().tokenNumber(0), 10000u);
    EXPECT_EQ(slot().tokenNumber(1), 20000u);
    PinErrorCountSettings counts = readPinErrorCounts(1, context());
    EXPECT_EQ(counts.soPinErrorCount, 5);
    EXPECT_EQ(counts.userPinErrorCount, 4);
    EXPECT_FALSE(runLoginStep(1, SecurePin(kUserPin), context()).loggedIn);
    EXPECT_TRUE(runLoginStep(1, SecurePin("user-2"), context()).loggedIn);
    EXPECT_TRUE(runPinOperation(PinOperationKind::UnblockToken, 1, SecurePin("so-pin-2"),
                                SecurePin("user-3"), context())
                    .succeeded);
}

TEST_F(RealTokenTest, RenameWritesTheLabel) {
    RenameOutcome outcome = runRenameToken(1, "Renamed", context());
    ASSERT_TRUE(outcome.written);
    EXPECT_EQ(slot().tokenLabel(), "Renamed");
    EXPECT_TRUE(renameResult(1, "Demo token", "Renamed", context()));
    outcome = runRenameToken(1, "Renamed", context());
    EXPECT_TRUE(outcome.written);
    EXPECT_FALSE(renameResult(1, "Renamed", "Renamed", context()));
    EXPECT_EQ(messageIds(), (std::vector<int>{823, 823}));
}

TEST_F(RealTokenTest, PulledTokenIsReportedAsRemoved) {
    ASSERT_TRUE(runTokenctl("remove --slot 1"));
    // The slot monitor's job, done here at once.
    slot().onTokenRemoved();
    PinOperationOutcome outcome = runPinOperation(
        PinOperationKind::ChangeUserPin, 1, SecurePin(kUserPin), SecurePin("5555"), context());
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_EQ(messageIds(), std::vector<int>{5020});
}

TEST_F(RealTokenTest, LoginAndLogoutCanRepeatPastTheTokensSessionLimit) {
    // The token allows a few hundred open sessions; a logout that left its
    // session open would make a login fail long before the last round.
    const SecurePin pin(kUserPin);
    for (int round = 0; round < 600; ++round) {
        ASSERT_EQ(slot().login(pin.bytes(), pin.length()), CKR_OK) << "round " << round;
        ASSERT_EQ(slot().logout(), CKR_OK) << "round " << round;
    }
    ASSERT_TRUE(slot().refreshTokenInfo());
    EXPECT_EQ(slot().tokenNumber(9), 0u);
}

} // namespace
