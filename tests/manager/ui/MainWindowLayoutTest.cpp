#include "AboutDlg.h"
#include "MainWindowFixture.h"
#include "MgrWindow.h"
#include "PaneView.h"
#include "SlotInfoView.h"
#include "SplitterWnd.h"
#include "TokenInfoView.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>

namespace {

TEST_F(MainWindowTest, SizeAndSplitterChosenByTheUserComeBackNextTime) {
    addStandardSlots();
    ASSERT_TRUE(SlotManager::instance().initialize());
    frame = createMainFrame();
    frame->resize(820, 520);
    QCoreApplication::processEvents();
    frame->splitter()->dragBarTo(260);
    ASSERT_EQ(frame->splitter()->barPosition(), 260);
    frame->close();
    frame = createMainFrame();
    QCoreApplication::processEvents();
    EXPECT_EQ(frame->size(), QSize(820, 520));
    EXPECT_EQ(frame->splitter()->barPosition(), 260);

    // Stored values below the minimums give way to them.
    {
        QSettings settings(CMainFrame::layoutSettingsPath(), QSettings::IniFormat);
        settings.setValue("MainWindow/size", QSize(300, 200));
        settings.setValue("MainWindow/splitterPosition", 500);
    }
    frame = createMainFrame();
    QCoreApplication::processEvents();
    EXPECT_EQ(frame->size(), QSize(630, 440));
    EXPECT_EQ(frame->splitter()->barPosition(), 630 - 420);
}

TEST_F(MainWindowTest, StartUpWindowHasTitleSizeAndStartingViews) {
    addStandardSlots();
    ASSERT_TRUE(SlotManager::instance().initialize());
    frame = createMainFrame();
    EXPECT_EQ(frame->windowTitle().toStdString(), "KorvanNG PKI Manager (Administrator)");
    EXPECT_EQ(frame->size(), QSize(630, 440));
    EXPECT_EQ(frame->minimumSize(), QSize(630, 440));
    EXPECT_TRUE(frame->isVisible());

    EXPECT_EQ(frame->splitter()->barPosition(), 190);
    CPaneView* pane = frame->pane();
    EXPECT_EQ(pane->currentIndex(), CPaneView::kSlotInfo);
    EXPECT_TRUE(pane->slotInfoView()->isVisible());
    EXPECT_FALSE(pane->tokenInfoView()->isVisible());

    ASSERT_EQ(frame->statusPanes().size(), 4);
    for (QLabel* statusPane : frame->statusPanes())
        EXPECT_TRUE(statusPane->text().isEmpty());

    // The window can never be made smaller than it starts.
    frame->resize(300, 200);
    EXPECT_EQ(frame->size(), QSize(630, 440));
}

TEST_F(MainWindowTest, SlotListIsFilledBeforeTheTreeHasFocus) {
    addStandardSlots();
    start(); // never shown, so the tree never gets the focus
    auto* list = frame->pane()->slotInfoView()->findChild<QTableWidget*>();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(list->item(2, 0)->text().toStdString(), "Reader C");
    EXPECT_EQ(tree()->selectedItem(), nullptr);
}

TEST_F(MainWindowTest, MenuPromptsNeverReachTheStatusBar) {
    start();
    QStatusTipEvent prompt(QStringLiteral("Quit the application"));
    QCoreApplication::sendEvent(frame.get(), &prompt);
    EXPECT_TRUE(frame->statusBar()->currentMessage().isEmpty());
}

TEST_F(MainWindowTest, SplitterBarIsClampedToBothMinimums) {
    start();
    frame->show();
    CExSplitterWnd* splitter = frame->splitter();
    int width = splitter->width();
    ASSERT_EQ(width, 630);

    splitter->dragBarTo(20);
    EXPECT_EQ(splitter->barPosition(), 190);
    splitter->dragBarTo(600);
    EXPECT_EQ(splitter->barPosition(), width - 420);
    splitter->dragBarTo(200);
    EXPECT_EQ(splitter->barPosition(), 200);

    // A real drag on the bar goes through the same clamp.
    frame->resize(1000, 500);
    QCoreApplication::processEvents();
    QSplitterHandle* handle = splitter->handle(1);
    QPoint start = handle->rect().center();
    auto send = [&](QEvent::Type type, QPoint local, Qt::MouseButtons buttons) {
        QMouseEvent event(type, local, handle->mapToGlobal(local), Qt::LeftButton, buttons,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(handle, &event);
    };
    send(QEvent::MouseButtonPress, start, Qt::LeftButton);
    send(QEvent::MouseMove, start + QPoint(900, 0), Qt::LeftButton);
    EXPECT_EQ(splitter->barPosition(), 1000 - 420);
    send(QEvent::MouseMove, start - QPoint(900, 0), Qt::LeftButton);
    EXPECT_EQ(splitter->barPosition(), 190);
    send(QEvent::MouseButtonRelease, start - QPoint(900, 0), Qt::NoButton);

    // The tree keeps its width when the window grows.
    splitter->dragBarTo(250);
    frame->resize(1200, 500);
    QCoreApplication::processEvents();
    EXPECT_EQ(splitter->barPosition(), 250);
}

TEST_F(MainWindowTest, TabMovesFocusBetweenTreeAndViews) {
    addStandardSlots();
    start();
    frame->show();
    QApplication::setActiveWindow(frame.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));
    CPaneView* pane = frame->pane();

    tree()->selectItem(tree()->rootItem());
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_Tab);
    EXPECT_TRUE(pane->slotInfoView()->isAncestorOf(QApplication::focusWidget()) ||
                QApplication::focusWidget() == pane->slotInfoView());

    emit pane->slotInfoView()->tabPressed();
    EXPECT_EQ(QApplication::focusWidget(), tree());

    tree()->selectItem(slotItem(1));
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_Tab);
    EXPECT_TRUE(pane->tokenInfoView()->isAncestorOf(QApplication::focusWidget()));

    emit pane->tokenInfoView()->tabToTree();
    EXPECT_EQ(QApplication::focusWidget(), tree());
}

TEST_F(MainWindowTest, AltShortcutsRunTheirCommands) {
    addStandardSlots();
    start();
    frame->show();
    QApplication::setActiveWindow(frame.get());
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame.get()));

    tree()->selectItem(slotItem(1));
    const std::vector<std::pair<Qt::Key, std::string>> keys = {
        {Qt::Key_N, "changeTokenName 1"}, {Qt::Key_P, "changeUserPin 1"},
        {Qt::Key_I, "initToken 1"},       {Qt::Key_B, "unblockToken 1"},
        {Qt::Key_M, "changeSoPin 1"},     {Qt::Key_L, "login 1"}};
    for (const auto& [key, call] : keys) {
        tree()->selectItem(slotItem(1));
        admin.calls.clear();
        QTest::keyClick(frame.get(), key, Qt::AltModifier);
        EXPECT_EQ(admin.calls, std::vector<std::string>{call}) << call;
    }

    QTest::keyClick(frame.get(), Qt::Key_S, Qt::AltModifier);
    EXPECT_EQ(tree()->selectedItem(), tree()->rootItem());
    EXPECT_EQ(frame->pane()->currentIndex(), CPaneView::kSlotInfo);
    EXPECT_TRUE(frame->commandAction(command::kHideEmptySlots)->shortcut().isEmpty());
}

TEST_F(MainWindowTest, AboutBoxIsDialog100WithAnOkButton) {
    CAboutDlg about;
    QList<QPushButton*> buttons = about.findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(controlId(buttons[0]), 1);
    EXPECT_EQ(buttons[0]->text().toStdString(), "OK");
    EXPECT_FALSE(about.windowTitle().isEmpty());
    QTest::mouseClick(buttons[0], Qt::LeftButton);
    EXPECT_EQ(about.result(), QDialog::Accepted);
}

} // namespace
