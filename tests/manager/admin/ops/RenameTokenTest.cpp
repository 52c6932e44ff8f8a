// The rename through the slot entry, and the result the dialog reports.

#include "RenameToken.h"
#include "AdminFakeFixture.h"
#include "MessageFlags.h"

namespace {

using RenameTokenTest = AdminFakeTest;

TEST_F(RenameTokenTest, EqualNameIsWrittenAndReportedButIsNoChange) {
    startWithToken();
    std::string oldName = currentTokenLabel(1, context());
    ASSERT_EQ(oldName, "ABCDEFG");
    RenameOutcome outcome = runRenameToken(1, oldName, context());
    EXPECT_EQ(fake().setLabelCalls, std::vector<std::string>{"ABCDEFG"});
    EXPECT_TRUE(outcome.written);
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, 823);
    EXPECT_EQ(messages()[0].text, "Change token name successfully!");
    EXPECT_EQ(messages()[0].flags, MB_ICONINFORMATION);
    EXPECT_FALSE(renameResult(1, oldName, oldName, context()));
}

TEST_F(RenameTokenTest, NewNameIsWrittenAndCachedAndReportedAsChange) {
    startWithToken();
    std::string oldName = currentTokenLabel(1, context());
    // The fake keeps no label; the token reports the new one from now on.
    fake().slotMap[1].label = "Signing key";
    RenameOutcome outcome = runRenameToken(1, "Signing key", context());
    EXPECT_TRUE(outcome.written);
    EXPECT_EQ(fake().setLabelCalls, std::vector<std::string>{"Signing key"});
    EXPECT_EQ(manager.findSlot(1)->tokenLabel(), "Signing key");
    EXPECT_TRUE(renameResult(1, oldName, "Signing key", context()));
    // Cancel: the old name becomes the typed text, so nothing changed.
    EXPECT_FALSE(renameResult(1, "typed", "typed", context()));
}

TEST_F(RenameTokenTest, CachedLabelIsTheNewNameWhenTheTokenCannotBeReadAgain) {
    startWithToken();
    fake().slotMap[1].tokenInfoResult = CKR_DEVICE_ERROR;
    RenameOutcome outcome = runRenameToken(1, "Signing key", context());
    EXPECT_TRUE(outcome.written);
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    EXPECT_EQ(manager.findSlot(1)->tokenLabel(), "Signing key");
    EXPECT_TRUE(manager.findSlot(1)->tokenRecognized.load());
}

TEST_F(RenameTokenTest, RefusedNameKeepsTheDialogOpen) {
    startWithToken();
    fake().setLabelResult = CKR_DEVICE_ERROR;
    RenameOutcome outcome = runRenameToken(1, "x", context());
    EXPECT_EQ(outcome.end, DialogEnd::StayOpen);
    EXPECT_EQ(dialogResult(outcome.end), 0);
    EXPECT_FALSE(outcome.written);
    EXPECT_EQ(outcome.rv, CKR_DEVICE_ERROR);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, -1);
    EXPECT_EQ(messages()[0].text, "Change Toekn name failed! [0x00000030]");
    EXPECT_EQ(messages()[0].flags, MB_ICONERROR);
    EXPECT_EQ(manager.findSlot(1)->tokenLabel(), "ABCDEFG");
}

TEST_F(RenameTokenTest, VanishedSlotReportsCodeZeroAndStaysOpen) {
    startWithToken();
    RenameOutcome outcome = runRenameToken(8, "x", context());
    EXPECT_EQ(outcome.end, DialogEnd::StayOpen);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].text, "Change Toekn name failed! [0x00000000]");
    EXPECT_TRUE(fake().setLabelCalls.empty());
    EXPECT_FALSE(renameResult(8, "a", "b", context()));
}

TEST_F(RenameTokenTest, RemovedTokenEndsWithOkAndNoChange) {
    startWithToken();
    manager.findSlot(1)->tokenPresent = false;
    RenameOutcome outcome = runRenameToken(1, "New", context());
    EXPECT_EQ(outcome.end, DialogEnd::Ok);
    EXPECT_TRUE(outcome.tokenRemoved);
    EXPECT_FALSE(outcome.written);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0].id, 5020);
    EXPECT_FALSE(renameResult(1, "ABCDEFG", "New", context()));
}

TEST_F(RenameTokenTest, UnboundTableIsNeverAChange) {
    startWithToken();
    library.bindTables(nullptr, nullptr);
    bool changed = renameResult(1, "a", "b", context());
    library.bindTables(&fake().functions, &fake().aux);
    EXPECT_FALSE(changed);
}

TEST(RenameRules, NameOfOneToThirtyTwoBytes) {
    EXPECT_FALSE(renameOkEnabled(""));
    EXPECT_TRUE(renameOkEnabled("a"));
    EXPECT_TRUE(renameOkEnabled(std::string(32, 'n')));
    EXPECT_FALSE(renameOkEnabled(std::string(33, 'n')));
    // Sixteen two-byte characters fill the 32 bytes; one more does not fit.
    std::string wide;
    for (int i = 0; i < 16; ++i)
        wide += "\xc3\xa4";
    EXPECT_TRUE(renameOkEnabled(wide));
    EXPECT_FALSE(renameOkEnabled(wide + "a"));
}

} // namespace
