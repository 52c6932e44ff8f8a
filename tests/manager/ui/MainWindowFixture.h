#pragma once

// One QApplication for the program, the process-wide slot model bound to the
// fake tables, and a main window over it.

#include "AdminOperations.h"
#include "ControlId.h"
#include "FakeSlotLibrary.h"
#include "LeftTreeView.h"
#include "MainFrame.h"
#include "SlotEventPoster.h"
#include "SlotManager.h"
#include "SlotTestSupport.h"
#include "TokenLibrary.h"

#include <QApplication>
#include <QTableWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Records which operation ran and answers as scripted. `duringDialog` runs
// once inside the next dialog and `duringRelogin` once inside the next login
// with a new PIN, as events handled by a dialog's or message box's loop.
struct ScriptedAdmin : AdminOperations {
    std::vector<std::string> calls;
    bool loginResult = true;
    bool reloginResult = true;
    AdminOutcome outcome;
    std::function<void()> duringDialog;
    std::function<void()> duringRelogin;

    bool login(QWidget*, CK_SLOT_ID slotId) override {
        record("login", slotId);
        return loginResult;
    }
    bool loginWithPin(CK_SLOT_ID slotId, const SecurePin& pin) override {
        record("loginWithPin " + std::string(pin.view()), slotId);
        return reloginResult;
    }
    AdminOutcome changeTokenName(QWidget*, CK_SLOT_ID slotId) override {
        record("changeTokenName", slotId);
        return outcome;
    }
    AdminOutcome changeUserPin(QWidget*, CK_SLOT_ID slotId) override {
        record("changeUserPin", slotId);
        return outcome;
    }
    AdminOutcome initToken(QWidget*, CK_SLOT_ID slotId) override {
        record("initToken", slotId);
        return outcome;
    }
    AdminOutcome unblockToken(QWidget*, CK_SLOT_ID slotId) override {
        record("unblockToken", slotId);
        return outcome;
    }
    AdminOutcome changeSoPin(QWidget*, CK_SLOT_ID slotId) override {
        record("changeSoPin", slotId);
        return outcome;
    }
    void record(const std::string& what, CK_SLOT_ID slotId) {
        calls.push_back(what + " " + std::to_string(slotId));
        std::function<void()>& hook =
            what.rfind("loginWithPin", 0) == 0 ? duringRelogin : duringDialog;
        if (hook)
            std::exchange(hook, nullptr)();
    }
};

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "main_window_tests";
            static char* argv[] = {name, nullptr};
            // Never destroyed: at exit Qt's input devices are already gone,
            // and an application destroyed after them crashes.
            new QApplication(argc, argv);
        }
    }

    void SetUp() override {
        // Every window starts from empty settings.
        ASSERT_TRUE(settingsHome.isValid());
        qputenv("XDG_CONFIG_HOME", settingsHome.path().toUtf8());
        FakeSlotLibrary::reset();
        TokenLibrary::instance().bindTables(&fake().functions, &fake().aux);
        // A quiet monitor unless a test wants events from it.
        SlotManager::instance().setPollInterval(std::chrono::hours(24));
    }

    void TearDown() override {
        frame.reset();
        SlotManager::instance().shutdown();
        TokenLibrary::instance().bindTables(nullptr, nullptr);
    }

    static FakeSlotLibrary& fake() { return FakeSlotLibrary::current(); }
    static SlotEntry* entry(CK_SLOT_ID slotId) { return SlotManager::instance().findSlot(slotId); }

    void addSlot(CK_SLOT_ID slotId, const FakeSlot& slot) {
        fake().slotList.push_back(slotId);
        fake().slotMap[slotId] = slot;
    }

    // Slot 1 with a token, slot 2 empty, slot 3 with a token that cannot be read.
    void addStandardSlots() {
        addSlot(1, tokenSlot("Reader A"));
        addSlot(2, emptySlot("Reader B"));
        FakeSlot unreadable = tokenSlot("Reader C");
        unreadable.tokenInfoResult = CKR_TOKEN_NOT_RECOGNIZED;
        addSlot(3, unreadable);
    }

    void start() {
        ASSERT_TRUE(SlotManager::instance().initialize());
        frame = std::make_unique<CMainFrame>();
        frame->setAdminOperations(&admin);
    }

    CLeftTreeView* tree() const { return frame->tree(); }
    QTreeWidgetItem* slotItem(CK_SLOT_ID slotId) const { return tree()->findSlotItem(slotId); }

    // The texts of the root's children, in order.
    std::vector<std::string> slotTexts() const {
        std::vector<std::string> texts;
        QTreeWidgetItem* root = tree()->rootItem();
        for (int i = 0; root != nullptr && i < root->childCount(); ++i)
            texts.push_back(root->child(i)->text(0).toStdString());
        return texts;
    }

    // As the monitor would deliver it.
    void deliver(CK_SLOT_ID slotId, CK_ULONG code) {
        postSlotEvent(frame.get(), slotId, code);
        QCoreApplication::sendPostedEvents(frame.get(), SlotEvent::EventType);
    }

    bool enabled(int commandId) const { return frame->commandAction(commandId)->isEnabled(); }

    QTableWidget* tokenList() const {
        for (auto* list : frame->findChildren<QTableWidget*>())
            if (controlId(list) == 351)
                return list;
        return nullptr;
    }

    ScriptedAdmin admin;
    std::unique_ptr<CMainFrame> frame;
    QTemporaryDir settingsHome;
};
