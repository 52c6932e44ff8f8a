// Token events handled while an administration dialog or one of its message
// boxes is open: the tree is rebuilt under the dialog, and the steps after it
// must act on the slot's new items.

#include "MainWindowFixture.h"
#include "PaneView.h"
#include "TokenInfoView.h"

namespace {

using Texts = std::vector<std::string>;

class DialogEventTest : public MainWindowTest {
protected:
    static constexpr int kWitnessRole = Qt::UserRole + 1;

    // A token arrives in slot 2, or leaves it, as the dialog's loop would
    // deliver it: the whole tree is rebuilt and the root selected.
    void toggleSlotTwo() {
        {
            std::lock_guard guard(fake().mutex);
            fake().slotMap[2].flags ^= CKF_TOKEN_PRESENT;
        }
        bool present = (fake().slotMap[2].flags & CKF_TOKEN_PRESENT) != 0;
        if (present)
            entry(2)->onTokenInserted();
        else
            entry(2)->onTokenRemoved();
        deliver(2, present ? E_EVENT_TOKEN_INSERTED : E_EVENT_TOKEN_REMOVED);
    }
    std::function<void()> rebuild() {
        return [this] {
            // A new root may reuse the old one's address; a mark does not survive.
            tree()->rootItem()->setData(0, kWitnessRole, true);
            toggleSlotTwo();
            ASSERT_FALSE(tree()->rootItem()->data(0, kWitnessRole).toBool())
                << "the event did not rebuild the tree";
        };
    }

    bool marked(CK_SLOT_ID slotId, unsigned char expected) const {
        QTreeWidgetItem* item = slotItem(slotId);
        return item != nullptr && CLeftTreeView::itemData(item)->loggedIn == expected &&
               item->childCount() == 1 &&
               CLeftTreeView::itemData(item->child(0))->loggedIn == expected;
    }
};

TEST_F(DialogEventTest, LoginDialogMarksTheRebuiltSlotItem) {
    addStandardSlots();
    start();
    tree()->selectItem(slotItem(1));
    admin.duringDialog = rebuild();
    tree()->runOperation(3);

    EXPECT_EQ(slotTexts()[1], "Reader B [ABCDEFG]");
    EXPECT_TRUE(marked(1, 1));
    EXPECT_EQ(tree()->selectedItem(), slotItem(1)->child(0));
    EXPECT_EQ(frame->pane()->currentIndex(), CPaneView::kCertManager);
    EXPECT_FALSE(enabled(command::kLogin));
}

// The event comes during the dialog itself, then during the message box of
// the login with the new PIN; in both the order after the dialog holds.
TEST_F(DialogEventTest, NewPinOperationsLogInAgainOnTheRebuiltItem) {
    addStandardSlots();
    start();
    for (bool inRelogin : {false, true}) {
        for (int operation : {5, 6, 7}) {
            tree()->selectItem(slotItem(1));
            admin.calls.clear();
            admin.outcome = {};
            admin.outcome.succeeded = true;
            admin.outcome.newName = "Renewed";
            admin.outcome.newPin.assign("4321");
            (inRelogin ? admin.duringRelogin : admin.duringDialog) = rebuild();
            size_t logoutsBefore = fake().logoutSessions.size();

            tree()->runOperation(operation);
            SCOPED_TRACE(testing::Message() << "operation " << operation << ", event during "
                                            << (inRelogin ? "the new login" : "the dialog"));
            ASSERT_EQ(admin.calls.size(), 2u);
            EXPECT_EQ(admin.calls[1], "loginWithPin 4321 1");
            EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore + 1);
            EXPECT_TRUE(marked(1, 1));
            EXPECT_EQ(tree()->selectedItem(), slotItem(1)->child(0));
            EXPECT_FALSE(frame->pane()->tokenInfoView()->loginEnabled());
            if (operation == 6 && !inRelogin) {
                EXPECT_EQ(slotTexts()[0], "Reader A [Renewed]");
            }
        }
    }
}

TEST_F(DialogEventTest, FailedOrTouchedOutcomesLogOutTheRebuiltItem) {
    addStandardSlots();
    start();
    for (int operation : {5, 6, 7, 8}) {
        tree()->selectItem(slotItem(1));
        frame->commandAction(command::kLogin)->trigger();
        ASSERT_TRUE(marked(1, 1));
        tree()->selectItem(slotItem(1));
        admin.outcome = {};
        admin.outcome.tokenTouched = true;
        admin.duringDialog = rebuild();
        // The rebuilt items take their marks from the entry, still logged in.
        size_t logoutsBefore = fake().logoutSessions.size();

        tree()->runOperation(operation);
        EXPECT_TRUE(marked(1, 0)) << operation;
        EXPECT_FALSE(entry(1)->loggedIn) << operation;
        EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore + 1) << operation;
        // The token view still shows slot 1 and offers Login again.
        EXPECT_TRUE(frame->pane()->tokenInfoView()->loginEnabled()) << operation;
    }
}

// The slot's own token goes while its dialog is open and, with empty slots
// hidden, its item with it: the steps after the dialog find nothing to mark
// and leave the rebuilt tree as the event made it.
TEST_F(DialogEventTest, SlotWhoseItemVanishedDuringTheDialogIsLeftAlone) {
    addStandardSlots();
    start();
    frame->commandAction(command::kHideEmptySlots)->trigger();
    for (int operation : {3, 5}) {
        {
            std::lock_guard guard(fake().mutex);
            fake().slotMap[1].flags |= CKF_TOKEN_PRESENT;
        }
        entry(1)->onTokenInserted();
        deliver(1, E_EVENT_TOKEN_INSERTED);
        tree()->selectItem(slotItem(1));
        admin.outcome = {};
        admin.outcome.succeeded = true;
        admin.outcome.newPin.assign("4321");
        admin.duringDialog = [this] {
            {
                std::lock_guard guard(fake().mutex);
                fake().slotMap[1].flags &= ~CK_FLAGS(CKF_TOKEN_PRESENT);
            }
            entry(1)->onTokenRemoved();
            deliver(1, E_EVENT_TOKEN_REMOVED);
        };

        tree()->runOperation(operation);
        EXPECT_EQ(slotItem(1), nullptr) << operation;
        EXPECT_EQ(tree()->selectedItem(), tree()->rootItem()) << operation;
        EXPECT_EQ(frame->pane()->currentIndex(), CPaneView::kSlotInfo) << operation;
    }
}

} // namespace
