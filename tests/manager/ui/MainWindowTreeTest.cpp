#include "CertManagerFormView.h"
#include "MainWindowFixture.h"
#include "MessageFlags.h"
#include "PaneView.h"
#include "SlotInfoView.h"
#include "TokenInfoView.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

namespace {

using Texts = std::vector<std::string>;

TEST_F(MainWindowTest, TreeListsEverySlotUnderTheRootWithItsTokenState) {
    addStandardSlots();
    start();

    QTreeWidgetItem* root = tree()->rootItem();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0).toStdString(), "Slot list");
    EXPECT_TRUE(root->isExpanded());
    EXPECT_EQ(CLeftTreeView::itemData(root), nullptr);
    EXPECT_EQ(slotTexts(), (Texts{"Reader A [ABCDEFG]", "Reader B <Card not found>",
                                  "Reader C <Card not recognized>"}));

    // Only the recognized token has a "Data management" branch.
    ASSERT_EQ(slotItem(1)->childCount(), 1);
    EXPECT_EQ(slotItem(1)->child(0)->text(0).toStdString(), "Data management");
    EXPECT_EQ(slotItem(2)->childCount(), 0);
    EXPECT_EQ(slotItem(3)->childCount(), 0);

    TreeItemData* slotData = CLeftTreeView::itemData(slotItem(1));
    TreeItemData* dataData = CLeftTreeView::itemData(slotItem(1)->child(0));
    ASSERT_NE(slotData, nullptr);
    ASSERT_NE(dataData, nullptr);
    EXPECT_EQ(slotData->slotId, 1u);
    EXPECT_EQ(slotData->kind, TreeItemData::kSlotItem);
    EXPECT_EQ(dataData->slotId, 1u);
    EXPECT_EQ(dataData->kind, TreeItemData::kDataManagementItem);
}

TEST_F(MainWindowTest, ZeroSlotsLeaveOnlyTheRoot) {
    start();
    EXPECT_NE(tree()->rootItem(), nullptr);
    EXPECT_EQ(tree()->topLevelItemCount(), 1);
    EXPECT_TRUE(slotTexts().empty());
}

TEST_F(MainWindowTest, SelectionSwitchesThePane) {
    addStandardSlots();
    fake().objects = {{CKO_DATA, "note", std::nullopt, false}, {CKO_CERTIFICATE, {}, {}, false}};
    start();
    CPaneView* pane = frame->pane();
    EXPECT_EQ(pane->currentIndex(), CPaneView::kSlotInfo);

    tree()->selectItem(slotItem(1));
    EXPECT_EQ(pane->currentIndex(), CPaneView::kTokenInfo);
    EXPECT_EQ(pane->tokenInfoView()->slotId(), 1u);
    EXPECT_TRUE(pane->tokenInfoView()->loginEnabled());
    EXPECT_EQ(controlId(pane->activeView()), CPaneView::kPaneControlId);
    EXPECT_EQ(controlId(pane->slotInfoView()), CPaneView::ownControlId(CPaneView::kSlotInfo));

    // The certificate view shows what the token holds: the data object under
    // a node named after the token (the fake's certificate has no value).
    tree()->selectItem(slotItem(1)->child(0));
    EXPECT_EQ(pane->currentIndex(), CPaneView::kCertManager);
    QTreeWidget* objects = pane->certManagerView()->tree();
    ASSERT_EQ(objects->topLevelItemCount(), 1);
    ASSERT_EQ(objects->topLevelItem(0)->childCount(), 1);
    EXPECT_EQ(objects->topLevelItem(0)->child(0)->text(0), QStringLiteral("Data"));

    tree()->selectItem(tree()->rootItem());
    EXPECT_EQ(pane->currentIndex(), CPaneView::kSlotInfo);
    EXPECT_FALSE(pane->tokenInfoView()->isVisibleTo(pane));
    EXPECT_FALSE(pane->certManagerView()->isVisibleTo(pane));
    EXPECT_TRUE(pane->slotInfoView()->isVisibleTo(pane));
}

// As the user does it: a click makes its item current before it selects it.
void click(CLeftTreeView* tree, QTreeWidgetItem* item) {
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

TEST_F(MainWindowTest, ClickedItemAloneDecidesTheViewAndItsButtons) {
    addSlot(1, tokenSlot("Reader A"));
    addSlot(2, tokenSlot("Reader B"));
    fake().objects = {{CKO_DATA, "note", std::nullopt, false}};
    start();
    frame->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
    tree()->selectItem(slotItem(1));
    frame->commandAction(command::kLogin)->trigger();
    CCertManagerFormView* view = frame->pane()->certManagerView();

    // Slot 1 is logged in, slot 2 is not; each path ends on an item whose
    // own mark decides, never the item the click came from.
    struct Path {
        QTreeWidgetItem* from;
        QTreeWidgetItem* to;
        bool canModify;
    };
    for (const Path& path : {Path{tree()->rootItem(), slotItem(1)->child(0), true},
                             Path{slotItem(2), slotItem(1)->child(0), true},
                             Path{slotItem(1), slotItem(1)->child(0), true},
                             Path{slotItem(1)->child(0), slotItem(2)->child(0), false}}) {
        click(tree(), path.from);
        ASSERT_EQ(tree()->selectedItem(), path.from);
        click(tree(), path.to);
        SCOPED_TRACE(testing::Message() << path.from->text(0).toStdString() << " to "
                                        << path.to->parent()->text(0).toStdString());
        EXPECT_EQ(frame->pane()->currentIndex(), CPaneView::kCertManager);
        EXPECT_EQ(view->tree()->topLevelItemCount(), 1);
        EXPECT_EQ(view->importButton()->isEnabled(), path.canModify);
        EXPECT_EQ(view->deleteButton()->isEnabled(), path.canModify);
    }

    // The commands follow a click too, without a menu being opened.
    click(tree(), tree()->rootItem());
    click(tree(), slotItem(2));
    EXPECT_TRUE(enabled(command::kLogin));
    EXPECT_TRUE(enabled(command::kChangeUserPin));
    click(tree(), tree()->rootItem());
    EXPECT_FALSE(enabled(command::kChangeUserPin));
}

TEST_F(MainWindowTest, InsertionAndRemovalRebuildTheTreeAndSelectTheRoot) {
    addStandardSlots();
    start();
    tree()->selectItem(slotItem(1));

    // A token arrives in slot 2; the monitor updates the entry before posting.
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[2].flags |= CKF_TOKEN_PRESENT;
        fake().slotMap[2].label = "Fresh";
    }
    entry(2)->onTokenInserted();
    deliver(2, E_EVENT_TOKEN_INSERTED);
    EXPECT_EQ(slotTexts(),
              (Texts{"Reader A [ABCDEFG]", "Reader B [Fresh]", "Reader C <Card not recognized>"}));
    ASSERT_EQ(slotItem(2)->childCount(), 1);
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(2)->child(0))->loggedIn, 0);
    EXPECT_EQ(tree()->selectedItem(), tree()->rootItem());
    EXPECT_EQ(frame->pane()->currentIndex(), CPaneView::kSlotInfo);

    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[1].flags &= ~CK_FLAGS(CKF_TOKEN_PRESENT);
    }
    entry(1)->onTokenRemoved();
    deliver(1, E_EVENT_TOKEN_REMOVED);
    EXPECT_EQ(slotTexts(), (Texts{"Reader A <Card not found>", "Reader B [Fresh]",
                                  "Reader C <Card not recognized>"}));
    EXPECT_EQ(slotItem(1)->childCount(), 0);
}

TEST_F(MainWindowTest, MonitorEventsReachTheTree) {
    addStandardSlots();
    SlotManager::instance().setPollInterval(std::chrono::milliseconds(1));
    start();
    ASSERT_EQ(slotItem(2)->childCount(), 0);
    {
        // The token is in the reader by the time the monitor hears of it.
        std::lock_guard guard(fake().mutex);
        fake().slotMap[2].flags |= CKF_TOKEN_PRESENT;
        fake().polls = {{CKR_OK, 2, E_EVENT_TOKEN_INSERTED}};
    }
    // A bound that only matters when delivery is broken.
    EXPECT_TRUE(QTest::qWaitFor([&] { return slotItem(2)->childCount() == 1; }, 20000));
    EXPECT_EQ(slotTexts()[1], "Reader B [ABCDEFG]");
}

TEST_F(MainWindowTest, EventsForSlotZeroAndUnknownCodesChangeNothing) {
    addSlot(0, tokenSlot("Reader Zero"));
    addStandardSlots();
    start();
    tree()->selectItem(slotItem(1));
    Texts before = slotTexts();

    // The entry of slot 0 already knows its token is gone; the tree must
    // still not be rebuilt for it.
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[0].flags &= ~CK_FLAGS(CKF_TOKEN_PRESENT);
    }
    entry(0)->onTokenRemoved();
    deliver(0, E_EVENT_TOKEN_INSERTED);
    deliver(0, E_EVENT_TOKEN_REMOVED);
    for (CK_ULONG code : {0ul, 3ul, 4ul, 5ul, 9ul, 268ul, 270ul})
        deliver(1, code);

    EXPECT_EQ(slotTexts(), before);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1));
    EXPECT_EQ(frame->pane()->currentIndex(), CPaneView::kTokenInfo);
}

TEST_F(MainWindowTest, RemovalEndsTheCertificateViewsDialogAsCancelled) {
    addStandardSlots();
    start();
    CCertManagerFormView* view = frame->pane()->certManagerView();
    QDialog dialog(frame.get());
    view->runningDialog = &dialog;
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[1].flags &= ~CK_FLAGS(CKF_TOKEN_PRESENT);
    }
    entry(1)->onTokenRemoved();
    QTimer::singleShot(0, frame.get(),
                       [this] { postSlotEvent(frame.get(), 1, E_EVENT_TOKEN_REMOVED); });
    // Only ends the dialog when the window failed to; never a measure of speed.
    QTimer::singleShot(20000, &dialog, [&dialog] { dialog.done(99); });
    EXPECT_EQ(dialog.exec(), IDCANCEL);
    EXPECT_EQ(view->runningDialog, nullptr);
    EXPECT_EQ(slotTexts()[0], "Reader A <Card not found>");
}

TEST_F(MainWindowTest, LabelEventRenamesTheSlotAndOnlyTouchesTheTokenListShowingIt) {
    addStandardSlots();
    addSlot(4, tokenSlot("Reader D"));
    start();
    tree()->selectItem(slotItem(1));
    CLeftTreeView::itemData(slotItem(4))->loggedIn = 1;
    QSignalSpy labels(frame->pane()->tokenInfoView(), &CTokenInfoFormView::labelSet);

    // Slot 4 is renamed elsewhere while the token view shows slot 1.
    fake().slotMap[4].label = "Other";
    deliver(4, E_EVENT_LABEL_CHANGED);
    EXPECT_EQ(slotTexts()[3], "Reader D [Other]");
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(4))->loggedIn, 0);
    EXPECT_EQ(labels.count(), 0);
    EXPECT_EQ(slotTexts()[0], "Reader A [ABCDEFG]");

    fake().slotMap[1].label = "Renamed";
    deliver(1, E_EVENT_LABEL_CHANGED);
    EXPECT_EQ(slotTexts()[0], "Reader A [Renamed]");
    ASSERT_EQ(labels.count(), 1);
    EXPECT_EQ(labels.at(0).at(0).toString(), "Renamed");
    ASSERT_NE(tokenList(), nullptr);
    EXPECT_EQ(tokenList()->item(0, 1)->text(), "Renamed");
}

TEST_F(MainWindowTest, ReinitializationLogsOutSelectsTheSlotAndShowsTheNewLabel) {
    addStandardSlots();
    start();
    tree()->selectItem(slotItem(1));
    frame->commandAction(command::kLogin)->trigger();
    ASSERT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 1);
    tree()->selectItem(tree()->rootItem());
    size_t logoutsBefore = fake().logoutSessions.size();

    fake().slotMap[1].label = "Brand new";
    deliver(1, E_EVENT_TOKEN_REINITIALIZED);
    EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore + 1);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1));
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 0);
    EXPECT_EQ(slotTexts()[0], "Reader A [Brand new]");
    EXPECT_EQ(tokenList()->item(0, 1)->text(), "Brand new");
    EXPECT_TRUE(frame->pane()->tokenInfoView()->loginEnabled());
    EXPECT_TRUE(enabled(command::kLogin));
}

TEST_F(MainWindowTest, PinEventsLogTheSlotOut) {
    addStandardSlots();
    addSlot(4, tokenSlot("Reader D"));
    start();
    for (CK_ULONG code : {E_EVENT_USER_PIN_CHANGED, E_EVENT_SO_PIN_CHANGED}) {
        tree()->selectItem(slotItem(4));
        frame->commandAction(command::kLogin)->trigger();
        ASSERT_EQ(CLeftTreeView::itemData(slotItem(4))->loggedIn, 1);
        // The user has moved on to another slot meanwhile.
        tree()->selectItem(slotItem(1));
        size_t logoutsBefore = fake().logoutSessions.size();

        deliver(4, code);
        EXPECT_EQ(tree()->selectedItem(), slotItem(4)) << code;
        EXPECT_EQ(CLeftTreeView::itemData(slotItem(4))->loggedIn, 0) << code;
        EXPECT_EQ(CLeftTreeView::itemData(slotItem(4)->child(0))->loggedIn, 0) << code;
        EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore + 1) << code;
        EXPECT_TRUE(enabled(command::kLogin)) << code;
    }
}

TEST_F(MainWindowTest, PinEventForAHiddenSlotLeavesTheSelectedSlotAlone) {
    addStandardSlots();
    start();
    frame->commandAction(command::kHideEmptySlots)->trigger();
    ASSERT_EQ(slotItem(3), nullptr);
    tree()->selectItem(slotItem(1));
    frame->commandAction(command::kLogin)->trigger();
    tree()->selectItem(slotItem(1));
    size_t logoutsBefore = fake().logoutSessions.size();

    deliver(3, E_EVENT_USER_PIN_CHANGED);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1));
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 1);
    EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore + 1); // slot 3's own login ends
}

TEST_F(MainWindowTest, HideEmptySlotsKeepsOnlyRecognizedTokens) {
    addStandardSlots();
    start();
    QAction* hide = frame->commandAction(command::kHideEmptySlots);
    EXPECT_FALSE(hide->isChecked());

    hide->trigger();
    EXPECT_TRUE(frame->hideEmptySlots());
    EXPECT_TRUE(tree()->hideEmptySlots());
    EXPECT_TRUE(hide->isChecked());
    EXPECT_EQ(slotTexts(), (Texts{"Reader A [ABCDEFG]"}));

    // An insertion rebuilds with the setting still on.
    fake().slotMap[2].flags |= CKF_TOKEN_PRESENT;
    entry(2)->onTokenInserted();
    deliver(2, E_EVENT_TOKEN_INSERTED);
    EXPECT_EQ(slotTexts(), (Texts{"Reader A [ABCDEFG]", "Reader B [ABCDEFG]"}));

    hide->trigger();
    EXPECT_FALSE(hide->isChecked());
    EXPECT_EQ(slotTexts().size(), 3u);
}

// Stands in for C_GetTokenInfo and, once, runs a hook inside the call, as a
// message box or a dialog would spin an event loop inside a handling.
CK_RV (*realGetTokenInfo)(CK_SLOT_ID, CK_TOKEN_INFO_PTR) = nullptr;
std::function<void(CK_SLOT_ID)> insideGetTokenInfo;
int getTokenInfoDepth = 0;
std::vector<std::pair<CK_SLOT_ID, int>> getTokenInfoCalls;

CK_RV hookedGetTokenInfo(CK_SLOT_ID slotId, CK_TOKEN_INFO_PTR info) {
    getTokenInfoCalls.emplace_back(slotId, getTokenInfoDepth);
    ++getTokenInfoDepth;
    if (insideGetTokenInfo) {
        auto hook = std::move(insideGetTokenInfo);
        insideGetTokenInfo = nullptr;
        hook(slotId);
    }
    --getTokenInfoDepth;
    return realGetTokenInfo(slotId, info);
}

TEST_F(MainWindowTest, EventArrivingDuringAHandlingIsHandledRightAfterIt) {
    addStandardSlots();
    addSlot(4, tokenSlot("Reader D"));
    start();
    realGetTokenInfo = fake().functions.C_GetTokenInfo;
    fake().functions.C_GetTokenInfo = hookedGetTokenInfo;
    getTokenInfoCalls.clear();
    insideGetTokenInfo = [this](CK_SLOT_ID) {
        fake().slotMap[4].label = "Four";
        postSlotEvent(frame.get(), 4, E_EVENT_LABEL_CHANGED);
        // The nested loop delivers the second event while the first runs.
        QCoreApplication::sendPostedEvents(frame.get(), SlotEvent::EventType);
    };
    fake().slotMap[1].label = "One";

    deliver(1, E_EVENT_LABEL_CHANGED);
    fake().functions.C_GetTokenInfo = realGetTokenInfo;
    // Both handled by the time the first delivery returns, one after the
    // other: slot 4 read only once slot 1's read was over.
    EXPECT_EQ(slotTexts()[0], "Reader A [One]");
    EXPECT_EQ(slotTexts()[3], "Reader D [Four]");
    ASSERT_GE(getTokenInfoCalls.size(), 2u);
    EXPECT_EQ(getTokenInfoCalls.front(), (std::pair<CK_SLOT_ID, int>{1, 0}));
    for (const auto& [slotId, depth] : getTokenInfoCalls)
        EXPECT_EQ(depth, 0) << "slot " << slotId << " read inside another handling";
}

} // namespace

TEST_F(MainWindowTest, DataManagementBeforeLoginSaysWhyAndOffersLogin) {
    addSlot(1, tokenSlot("Reader A"));
    start();
    frame->show();
    tree()->selectItem(slotItem(1)->child(0));
    CCertManagerFormView* view = frame->pane()->certManagerView();
    ASSERT_TRUE(view->loginButton()->isVisibleTo(view));
    EXPECT_EQ(view->loginHint()->text(),
              QStringLiteral("Log in to see the certificates on this token."));
    EXPECT_TRUE(view->loginHint()->isVisibleTo(view));
    EXPECT_TRUE(view->loginButton()->isEnabled());
    EXPECT_FALSE(view->importButton()->isEnabled());
    EXPECT_GT(view->tree()->y(), view->loginButton()->geometry().bottom());

    // A cancelled login changes nothing; a login shows the token as after the menu's.
    admin.loginResult = false;
    view->loginButton()->click();
    EXPECT_EQ(admin.calls, std::vector<std::string>({"login 1"}));
    EXPECT_TRUE(view->loginButton()->isVisibleTo(view));
    admin.loginResult = true;
    view->loginButton()->click();
    EXPECT_EQ(admin.calls.size(), 2u);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1)->child(0));
    EXPECT_TRUE(CLeftTreeView::itemData(slotItem(1))->loggedIn);
    EXPECT_TRUE(CLeftTreeView::itemData(slotItem(1)->child(0))->loggedIn);
    EXPECT_FALSE(view->loginButton()->isVisibleTo(view));
    EXPECT_FALSE(view->loginHint()->isVisibleTo(view));
    EXPECT_TRUE(view->importButton()->isEnabled());
}
