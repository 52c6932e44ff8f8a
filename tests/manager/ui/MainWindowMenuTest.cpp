#include "CertManagerFormView.h"
#include "MainWindowFixture.h"
#include "PaneView.h"
#include "TokenInfoView.h"
#include "Translator.h"

#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

const std::vector<int> kOperationCommands = {command::kLogin,         command::kChangeTokenName,
                                             command::kChangeUserPin, command::kInitToken,
                                             command::kUnblockToken,  command::kChangeSoPin};

std::vector<bool> operationStates(CMainFrame* frame) {
    frame->updateCommands();
    std::vector<bool> states;
    for (int id : kOperationCommands)
        states.push_back(frame->commandAction(id)->isEnabled());
    return states;
}

// The popup's items by command id: enabled or not.
std::map<int, bool> popupStates(QMenu* menu) {
    std::map<int, bool> states;
    QMenu* popup = menu->actions().first()->menu();
    for (QAction* action : popup->actions())
        if (!action->isSeparator())
            states[controlId(action)] = action->isEnabled();
    return states;
}

using States = std::vector<bool>;
using Texts = std::vector<std::string>;
const States kAllOn(6, true);
const States kAllOff(6, false);
const States kLoginOff = {false, true, true, true, true, true};

TEST_F(MainWindowTest, OperationsAreEnabledOnlyForASlotItemWithAUsableToken) {
    addStandardSlots();
    start();
    EXPECT_EQ(operationStates(frame.get()), kAllOff); // nothing selected

    tree()->selectItem(tree()->rootItem());
    EXPECT_EQ(operationStates(frame.get()), kAllOff);
    tree()->selectItem(slotItem(1)->child(0));
    EXPECT_EQ(operationStates(frame.get()), kAllOff);
    tree()->selectItem(slotItem(2));
    EXPECT_EQ(operationStates(frame.get()), kAllOff);
    tree()->selectItem(slotItem(3));
    EXPECT_EQ(operationStates(frame.get()), kAllOff);

    tree()->selectItem(slotItem(1));
    EXPECT_EQ(operationStates(frame.get()), kAllOn);

    frame->commandAction(command::kLogin)->trigger();
    tree()->selectItem(slotItem(1));
    EXPECT_EQ(operationStates(frame.get()), kLoginOff);
}

TEST_F(MainWindowTest, EnablingFollowsSelectionWithoutTheMenuBeingOpened) {
    addStandardSlots();
    start();
    // Shortcuts of disabled actions do not fire, so the states must already
    // be current when a key is pressed.
    tree()->selectItem(slotItem(1));
    EXPECT_TRUE(enabled(command::kChangeSoPin));
    tree()->selectItem(tree()->rootItem());
    EXPECT_FALSE(enabled(command::kChangeSoPin));
}

TEST_F(MainWindowTest, ContextMenuGraysByTokenStateAndLogin) {
    addStandardSlots();
    start();
    EXPECT_EQ(tree()->createContextMenu(tree()->rootItem()), nullptr);
    EXPECT_EQ(tree()->createContextMenu(slotItem(1)->child(0)), nullptr);

    auto menu = tree()->createContextMenu(slotItem(1));
    ASSERT_NE(menu, nullptr);
    std::map<int, bool> all = popupStates(menu.get());
    EXPECT_EQ(all.size(), 6u);
    for (auto [id, on] : all)
        EXPECT_TRUE(on) << id;
    QMenu* popup = menu->actions().first()->menu();
    EXPECT_EQ(popup->actions().at(0)->text().toStdString(), "Login");
    EXPECT_EQ(popup->actions().at(6)->text().toStdString(), "Change Secure Officer Pin");
    EXPECT_TRUE(popup->actions().at(3)->isSeparator());

    for (CK_SLOT_ID slotId : {2, 3}) {
        auto grayed = tree()->createContextMenu(slotItem(slotId));
        for (auto [id, on] : popupStates(grayed.get()))
            EXPECT_FALSE(on) << slotId << " " << id;
    }

    tree()->selectItem(slotItem(1));
    frame->commandAction(command::kLogin)->trigger();
    auto loggedIn = tree()->createContextMenu(slotItem(1));
    for (auto [id, on] : popupStates(loggedIn.get()))
        EXPECT_EQ(on, id != command::kContextLogin) << id;
}

// Every command reaches its own operation.
TEST_F(MainWindowTest, CommandsStartTheirOperations) {
    addStandardSlots();
    start();
    const std::vector<std::pair<int, std::string>> expected = {
        {command::kChangeTokenName, "changeTokenName 1"},
        {command::kChangeUserPin, "changeUserPin 1"},
        {command::kInitToken, "initToken 1"},
        {command::kUnblockToken, "unblockToken 1"},
        {command::kChangeSoPin, "changeSoPin 1"},
        {command::kLogin, "login 1"},
    };
    for (const auto& [id, call] : expected) {
        tree()->selectItem(slotItem(1));
        admin.calls.clear();
        frame->commandAction(id)->trigger();
        EXPECT_EQ(admin.calls, std::vector<std::string>{call}) << id;
    }
    const std::vector<std::pair<int, Operation>> context = {
        {command::kContextLogin, Operation::Login},
        {command::kContextChangeTokenName, Operation::ChangeTokenName},
        {command::kContextChangeUserPin, Operation::ChangeUserPin},
        {command::kContextInitToken, Operation::InitToken},
        {command::kContextUnblockToken, Operation::UnblockToken},
        {command::kContextChangeSoPin, Operation::ChangeSoPin},
    };
    for (const auto& [id, operation] : context)
        EXPECT_EQ(operationForCommand(id), operation) << id;

    // The token view's buttons use the same dispatcher.
    tree()->selectItem(slotItem(1));
    admin.calls.clear();
    emit frame->pane()->tokenInfoView()->operationRequested(8);
    EXPECT_EQ(admin.calls, std::vector<std::string>{"changeSoPin 1"});
}

TEST_F(MainWindowTest, DispatcherRefusesItemsWithoutAUsableToken) {
    addStandardSlots();
    start();
    for (QTreeWidgetItem* item : {tree()->rootItem(), slotItem(2), slotItem(3)}) {
        tree()->selectItem(item);
        for (int operation = 2; operation <= 9; ++operation)
            tree()->runOperation(operation);
    }
    // Login needs the slot item; the others also run from "Data management".
    tree()->selectItem(slotItem(1)->child(0));
    tree()->runOperation(3);
    EXPECT_TRUE(admin.calls.empty());
    tree()->runOperation(5);
    EXPECT_EQ(admin.calls, std::vector<std::string>{"changeUserPin 1"});
}

TEST_F(MainWindowTest, LoginMarksTheSlotAndOpensDataManagement) {
    addStandardSlots();
    fake().objects = {{CKO_DATA, "note", std::nullopt, false}};
    start();
    tree()->selectItem(slotItem(1));
    admin.loginResult = false;
    tree()->runOperation(3);
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 0);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1));

    admin.loginResult = true;
    tree()->runOperation(3);
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 1);
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1)->child(0))->loggedIn, 1);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1)->child(0));
    EXPECT_EQ(frame->pane()->currentIndex(), CPaneView::kCertManager);
    EXPECT_EQ(frame->pane()->certManagerView()->tree()->topLevelItemCount(), 1);
    EXPECT_TRUE(frame->pane()->certManagerView()->importButton()->isEnabled());
}

TEST_F(MainWindowTest, StandInOperationsChangeNothing) {
    addStandardSlots();
    start();
    UnavailableAdminOperations unavailable;
    frame->setAdminOperations(&unavailable);
    tree()->selectItem(slotItem(1));
    Texts before = {"Reader A [ABCDEFG]", "Reader B <Card not found>",
                    "Reader C <Card not recognized>"};
    size_t logoutsBefore = fake().logoutSessions.size();
    for (int operation = 3; operation <= 8; ++operation)
        tree()->runOperation(operation);
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 0);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1));
    EXPECT_EQ(slotTexts(), before);
    EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore);
}

TEST_F(MainWindowTest, RenameShowsTheNewLabel) {
    addStandardSlots();
    start();
    tree()->selectItem(slotItem(1));
    admin.outcome.succeeded = true;
    admin.outcome.newName = "Work key";
    tree()->runOperation(4);
    EXPECT_EQ(slotTexts()[0], "Reader A [Work key]");
    EXPECT_EQ(tokenList()->item(0, 1)->text(), "Work key");

    admin.outcome = {};
    admin.outcome.newName = "Ignored";
    tree()->runOperation(4);
    EXPECT_EQ(slotTexts()[0], "Reader A [Work key]");
}

TEST_F(MainWindowTest, NewUserPinLogsInAgainWithIt) {
    addStandardSlots();
    start();
    tree()->selectItem(slotItem(1));
    size_t logoutsBefore = fake().logoutSessions.size();
    admin.outcome.succeeded = true;
    admin.outcome.newPin.assign("4321");
    tree()->runOperation(5);
    EXPECT_EQ(admin.calls, (std::vector<std::string>{"changeUserPin 1", "loginWithPin 4321 1"}));
    EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore + 1);
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 1);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1)->child(0));
}

TEST_F(MainWindowTest, FailedLoginAfterANewPinLeavesLoginAvailable) {
    addStandardSlots();
    start();
    tree()->selectItem(slotItem(1));
    admin.outcome.succeeded = true;
    admin.outcome.newPin.assign("4321");
    admin.reloginResult = false;
    tree()->runOperation(7);
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 0);
    EXPECT_EQ(CLeftTreeView::itemData(slotItem(1)->child(0))->loggedIn, 0);
    EXPECT_EQ(tree()->selectedItem(), slotItem(1));
    EXPECT_TRUE(enabled(command::kLogin));
    EXPECT_TRUE(frame->pane()->tokenInfoView()->loginEnabled());
}

TEST_F(MainWindowTest, InitTokenRenamesBeforeLoggingInAgain) {
    addStandardSlots();
    start();
    tree()->selectItem(slotItem(1));
    admin.outcome.succeeded = true;
    admin.outcome.newName = "Fresh";
    admin.outcome.newPin.assign("0000");
    tree()->runOperation(6);
    EXPECT_EQ(slotTexts()[0], "Reader A [Fresh]");
    EXPECT_EQ(admin.calls, (std::vector<std::string>{"initToken 1", "loginWithPin 0000 1"}));
}

TEST_F(MainWindowTest, TouchedTokensAreLoggedOutAndReRead) {
    addStandardSlots();
    start();
    for (int operation : {5, 6, 7, 8}) {
        tree()->selectItem(slotItem(1));
        frame->commandAction(command::kLogin)->trigger();
        tree()->selectItem(slotItem(1));
        size_t logoutsBefore = fake().logoutSessions.size();
        admin.outcome = {};
        tree()->runOperation(operation);
        EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 1) << operation;
        EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore) << operation;

        admin.outcome.tokenTouched = true;
        tree()->runOperation(operation);
        EXPECT_EQ(CLeftTreeView::itemData(slotItem(1))->loggedIn, 0) << operation;
        EXPECT_EQ(fake().logoutSessions.size(), logoutsBefore + 1) << operation;
    }
}

class TranslatedMenuTest : public MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        dir_ = std::filesystem::temp_directory_path() /
               ("korvan-main-window-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "menu_936.lng")
            << "[settings]\nCodePage=936\nLanguage=Test\n[strings]\n"
            << "128=Datei\\nAnsicht\\nVorgang\n32771=Anmelden\n32801=Anmelden!\n";
        ASSERT_TRUE(Translator::instance().loadFile((dir_ / "menu_936.lng").string()));
    }
    void TearDown() override {
        MainWindowTest::TearDown();
        // A file that does not exist brings the built-in texts back.
        Translator::instance().loadFile((dir_ / "absent.lng").string());
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_;
};

TEST_F(TranslatedMenuTest, MenusAreTranslatedByTitleListAndCommandId) {
    addStandardSlots();
    start();
    QList<QAction*> titles = frame->menuBar()->actions();
    ASSERT_EQ(titles.size(), 4);
    EXPECT_EQ(titles[0]->text().toStdString(), "Datei");
    EXPECT_EQ(titles[2]->text().toStdString(), "Vorgang");
    EXPECT_EQ(titles[3]->text().toStdString(), "ID_MENU_3");
    EXPECT_EQ(frame->commandAction(command::kLogin)->text().toStdString(), "Anmelden");
    EXPECT_EQ(frame->commandAction(command::kChangeSoPin)->text().toStdString(), "IDM_32774");

    auto menu = tree()->createContextMenu(slotItem(1));
    EXPECT_EQ(menu->actions().first()->text().toStdString(), "Datei");
    QMenu* popup = menu->actions().first()->menu();
    EXPECT_EQ(popup->actions().at(0)->text().toStdString(), "Anmelden!");
    EXPECT_EQ(popup->actions().at(1)->text().toStdString(), "IDM_32803");
}

} // namespace
