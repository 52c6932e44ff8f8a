#include "ControlId.h"
#include "FakeSlotLibrary.h"
#include "SlotInfoView.h"
#include "SlotManager.h"
#include "SlotTestSupport.h"
#include "TokenInfoView.h"
#include "TokenLibrary.h"
#include "Translator.h"

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

// The views read the process-wide manager, so it is bound to the fake tables
// for each test and emptied after.
class InfoViewsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "info_views_tests";
            static char* argv[] = {name, nullptr};
            // Never destroyed: the input devices QTest creates are statics
            // whose teardown at exit must not outlive the application.
            new QApplication(argc, argv);
        }
    }

    void SetUp() override {
        FakeSlotLibrary::reset();
        TokenLibrary::instance().bindTables(&fake().functions, &fake().aux);
        SlotManager::instance().setPollInterval(std::chrono::hours(24));
    }
    void TearDown() override {
        SlotManager::instance().shutdown();
        TokenLibrary::instance().bindTables(nullptr, nullptr);
    }

    static FakeSlotLibrary& fake() { return FakeSlotLibrary::current(); }

    void start(std::vector<std::pair<CK_SLOT_ID, FakeSlot>> list) {
        for (auto& [id, slot] : list) {
            fake().slotList.push_back(id);
            fake().slotMap[id] = slot;
        }
        ASSERT_TRUE(SlotManager::instance().initialize());
    }

    template <typename T = QWidget> static T* control(QWidget* view, int id) {
        for (T* child : view->findChildren<T*>())
            if (controlId(child) == id)
                return child;
        ADD_FAILURE() << "no control " << id;
        return nullptr;
    }
    static QString cell(QTableWidget* list, int row, int column) {
        QTableWidgetItem* item = list->item(row, column);
        return item ? item->text() : QStringLiteral("<none>");
    }

    static FakeSlot unrecognizedSlot() {
        FakeSlot slot = tokenSlot("Broken");
        slot.tokenInfoResult = CKR_TOKEN_NOT_RECOGNIZED;
        return slot;
    }
};

const int kTokenControls[] = {302, 351, 303, 310, 311, 312, 304, 320, 321, 322};
const int kButtons[] = {310, 311, 312, 320, 321, 322};

TEST_F(InfoViewsTest, SlotListShowsEverySlotAndSelectsTheFirst) {
    start({{7, emptySlot("Seven")}, {3, tokenSlot("Three")}, {5, unrecognizedSlot()}});
    CSlotInfoFormView view;
    view.refresh();
    auto* list = control<QTableWidget>(&view, 350);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(cell(list, 0, 0), "Three");
    EXPECT_EQ(cell(list, 0, 1), "Token is inserted and ready to use");
    EXPECT_EQ(cell(list, 0, 2), "Slot Maker");
    EXPECT_EQ(cell(list, 1, 1), "Token is inserted but cannot be recognized");
    EXPECT_EQ(cell(list, 2, 0), "Seven");
    EXPECT_EQ(cell(list, 2, 1), "<Card not found>");
    EXPECT_EQ(list->horizontalHeaderItem(1)->text(), "Card Status");
    // The set-up widths at least; wider where a text needs it.
    EXPECT_GE(list->columnWidth(0), 125);
    EXPECT_GT(list->columnWidth(1), 150);
    EXPECT_GE(list->columnWidth(2), 175);
    EXPECT_EQ(list->currentRow(), 0);
    EXPECT_TRUE(list->selectionModel()->isRowSelected(0, QModelIndex()));

    // A second refresh replaces the rows instead of adding to them.
    list->setCurrentCell(2, 0);
    view.refresh();
    EXPECT_EQ(list->rowCount(), 3);
    EXPECT_EQ(list->currentRow(), 0);
}

TEST_F(InfoViewsTest, SlotListFillsTheViewAndTabLeavesIt) {
    start({{1, tokenSlot()}});
    CSlotInfoFormView view;
    view.refresh();
    view.resize(500, 300);
    view.show();
    auto* list = control<QTableWidget>(&view, 350);
    const int m = list->x();
    EXPECT_GT(m, 0);
    EXPECT_EQ(list->width(), 500 - 2 * m);
    EXPECT_EQ(list->y() + list->height(), 300 - m);

    QSignalSpy tab(&view, &CSlotInfoFormView::tabPressed);
    QTest::keyClick(list, Qt::Key_Tab);
    EXPECT_EQ(tab.count(), 1);
}

TEST_F(InfoViewsTest, UsableTokenShowsBothListsAndEnablesEveryButton) {
    start({{1, tokenSlot("Reader A")}});
    CTokenInfoFormView view;
    view.showSlot(1);
    EXPECT_EQ(view.slotId(), 1u);
    auto* slotList = control<QTableWidget>(&view, 350);
    auto* tokenList = control<QTableWidget>(&view, 351);
    ASSERT_EQ(slotList->rowCount(), 5);
    EXPECT_EQ(cell(slotList, 0, 0), "Description");
    EXPECT_EQ(cell(slotList, 0, 1), "Reader A");
    EXPECT_EQ(cell(slotList, 3, 1), "1.05");
    ASSERT_EQ(tokenList->rowCount(), 16);
    EXPECT_EQ(cell(tokenList, 0, 1), "ABCDEFG");
    EXPECT_EQ(cell(tokenList, 15, 0), "Token Timer");
    EXPECT_GT(slotList->columnWidth(0), 80);
    EXPECT_GE(tokenList->columnWidth(1), 400);
    EXPECT_EQ(slotList->currentRow(), 0);
    for (int id : kTokenControls)
        EXPECT_TRUE(control(&view, id)->isVisibleTo(&view)) << id;
    for (int id : kButtons)
        EXPECT_TRUE(control(&view, id)->isEnabled()) << id;
}

TEST_F(InfoViewsTest, TokenThatIsNotUsableHidesTokenControlsAndDisablesButtons) {
    start({{1, tokenSlot()}, {2, unrecognizedSlot()}, {3, emptySlot()}});
    for (CK_SLOT_ID slot : {CK_SLOT_ID(2), CK_SLOT_ID(3)}) {
        CTokenInfoFormView view;
        view.resize(420, 440);
        view.showSlot(1);
        view.showSlot(slot);
        EXPECT_FALSE(view.tokenUsable());
        for (int id : kTokenControls)
            EXPECT_FALSE(control(&view, id)->isVisibleTo(&view)) << slot << " " << id;
        for (int id : kButtons)
            EXPECT_FALSE(control(&view, id)->isEnabled()) << slot << " " << id;
        auto* slotList = control<QTableWidget>(&view, 350);
        EXPECT_EQ(slotList->rowCount(), 5);
        EXPECT_EQ(control<QTableWidget>(&view, 351)->rowCount(), 0);
        // The slot list takes the whole height.
        EXPECT_EQ(slotList->y() + slotList->height(), 440 - slotList->x());
    }
}

TEST_F(InfoViewsTest, SlotWithoutEntryLeavesTheViewAsItWas) {
    start({{1, tokenSlot("Reader A")}});
    CTokenInfoFormView view;
    view.showSlot(1);
    view.showSlot(42);
    EXPECT_EQ(view.slotId(), 1u);
    EXPECT_EQ(cell(control<QTableWidget>(&view, 350), 0, 1), "Reader A");
    EXPECT_EQ(control<QTableWidget>(&view, 351)->rowCount(), 16);
    EXPECT_TRUE(control(&view, 310)->isEnabled());
}

TEST_F(InfoViewsTest, LayoutWithUsableToken) {
    start({{1, tokenSlot()}});
    CTokenInfoFormView view;
    view.resize(420, 440);
    view.showSlot(1);
    view.show();
    auto* slotList = control<QTableWidget>(&view, 350);
    auto* caption = control<QLabel>(&view, 302);
    auto* tokenList = control<QTableWidget>(&view, 351);
    auto* soPin = control(&view, 320);
    const int m = slotList->x();

    EXPECT_EQ(slotList->height(), 88);
    EXPECT_EQ(slotList->width(), 420 - 2 * m);
    EXPECT_EQ(caption->y(), slotList->y() + 88 + 10);
    EXPECT_EQ(tokenList->y(), caption->y() + caption->height() + 5);
    EXPECT_EQ(tokenList->width(), 420 - 2 * tokenList->x());
    EXPECT_EQ(soPin->y() + soPin->height(), 440 - m);

    // Growing by 60 pixels moves the button block and the token list's
    // bottom by 60, and the slot list by a fifth of it.
    std::map<int, int> before;
    for (int id : {303, 304, 310, 311, 312, 320, 321, 322})
        before[id] = control(&view, id)->y();
    const int tokenListBottom = tokenList->y() + tokenList->height();
    const int tokenListTop = tokenList->y();
    view.resize(420, 500);
    for (auto [id, y] : before)
        EXPECT_EQ(control(&view, id)->y(), y + 60) << id;
    EXPECT_EQ(slotList->height(), 100);
    EXPECT_EQ(tokenList->y(), tokenListTop + 12);
    EXPECT_EQ(tokenList->y() + tokenList->height(), tokenListBottom + 60);
    EXPECT_EQ(soPin->y() + soPin->height(), 500 - m);
}

TEST_F(InfoViewsTest, LoginStateMovesTheDefaultButton) {
    start({{1, tokenSlot()}});
    CTokenInfoFormView view;
    view.showSlot(1);
    auto* login = control<QPushButton>(&view, 310);
    auto* userPin = control<QPushButton>(&view, 311);
    view.setLoginState(true);
    EXPECT_TRUE(view.loginEnabled());
    EXPECT_TRUE(login->isEnabled());
    EXPECT_TRUE(login->isDefault());
    EXPECT_FALSE(userPin->isDefault());
    view.setLoginState(false);
    EXPECT_FALSE(view.loginEnabled());
    EXPECT_FALSE(login->isEnabled());
    EXPECT_FALSE(login->isDefault());
    EXPECT_TRUE(userPin->isDefault());
    for (int id : {311, 312, 320, 321, 322})
        EXPECT_TRUE(control(&view, id)->isEnabled()) << id;
}

TEST_F(InfoViewsTest, ButtonsRequestTheirOperations) {
    start({{1, tokenSlot()}});
    CTokenInfoFormView view;
    view.showSlot(1);
    view.setLoginState(true);
    QSignalSpy spy(&view, &CTokenInfoFormView::operationRequested);
    for (int id : {310, 312, 311, 320, 321, 322})
        QTest::mouseClick(control(&view, id), Qt::LeftButton);
    ASSERT_EQ(spy.count(), 6);
    std::vector<int> operations;
    for (const QList<QVariant>& call : spy)
        operations.push_back(call.at(0).toInt());
    EXPECT_EQ(operations, (std::vector<int>{3, 4, 5, 8, 7, 6}));
}

TEST_F(InfoViewsTest, LabelAndTokenDetailsRefresh) {
    start({{1, tokenSlot()}});
    CTokenInfoFormView view;
    view.showSlot(1);
    auto* tokenList = control<QTableWidget>(&view, 351);

    QSignalSpy labelSet(&view, &CTokenInfoFormView::labelSet);
    view.setLabel("Renamed");
    EXPECT_EQ(cell(tokenList, 0, 1), "Renamed");
    ASSERT_EQ(labelSet.count(), 1);
    EXPECT_EQ(labelSet.at(0).at(0).toString(), "Renamed");

    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[1].label = "From token";
        fake().slotMap[1].model = "Model Y";
    }
    ASSERT_TRUE(SlotManager::instance().findSlot(1)->refreshTokenInfo());
    view.refreshTokenDetails(1);
    ASSERT_EQ(tokenList->rowCount(), 16);
    EXPECT_EQ(cell(tokenList, 0, 1), "From token");
    EXPECT_EQ(cell(tokenList, 2, 1), "Model Y");
}

class TabChainTest : public InfoViewsTest {
protected:
    void SetUp() override {
        InfoViewsTest::SetUp();
        start({{1, tokenSlot()}});
        view = std::make_unique<CTokenInfoFormView>();
        view->resize(420, 440);
        view->showSlot(1);
        view->show();
        view->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));
    }
    void TearDown() override {
        view.reset();
        InfoViewsTest::TearDown();
    }
    QWidget* tabFrom(int id) {
        QWidget* from = control(view.get(), id);
        from->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(from, Qt::Key_Tab);
        return QApplication::focusWidget();
    }
    std::unique_ptr<CTokenInfoFormView> view;
};

TEST_F(TabChainTest, TokenListGoesToLoginOrChangeUserPin) {
    view->setLoginState(true);
    EXPECT_EQ(tabFrom(351), control(view.get(), 310));
    EXPECT_TRUE(control<QPushButton>(view.get(), 310)->isDefault());

    view->setLoginState(false);
    EXPECT_EQ(tabFrom(351), control(view.get(), 311));
    EXPECT_TRUE(control<QPushButton>(view.get(), 311)->isDefault());
}

TEST_F(TabChainTest, ButtonsFollowTheFixedChainAndEndInTheTree) {
    view->setLoginState(false);
    QSignalSpy toTree(view.get(), &CTokenInfoFormView::tabToTree);
    const std::pair<int, int> chain[] = {{311, 312}, {312, 320}, {320, 321}, {321, 322}};
    for (auto [from, to] : chain) {
        EXPECT_EQ(tabFrom(from), control(view.get(), to)) << from;
        EXPECT_TRUE(control<QPushButton>(view.get(), to)->isDefault()) << to;
    }
    EXPECT_EQ(toTree.count(), 0);
    tabFrom(322);
    EXPECT_EQ(toTree.count(), 1);
    EXPECT_TRUE(control<QPushButton>(view.get(), 310)->isDefault());
    EXPECT_FALSE(control<QPushButton>(view.get(), 322)->isDefault());
}

TEST_F(TabChainTest, SlotListGoesToTheTreeOnlyWhenTheItemHasNoChildren) {
    QSignalSpy toTree(view.get(), &CTokenInfoFormView::tabToTree);
    bool hasChildren = false;
    view->setSelectedItemHasChildren([&] { return hasChildren; });
    tabFrom(350);
    EXPECT_EQ(toTree.count(), 1);

    hasChildren = true;
    QWidget* next = tabFrom(350);
    EXPECT_EQ(toTree.count(), 1);
    EXPECT_NE(next, control(view.get(), 350));
}

TEST_F(TabChainTest, TokenListSelectsRowZeroWhenFocused) {
    auto* tokenList = control<QTableWidget>(view.get(), 351);
    tokenList->clearSelection();
    tokenList->setCurrentCell(-1, -1);
    tokenList->setFocus(Qt::OtherFocusReason);
    EXPECT_EQ(tokenList->currentRow(), 0);
    EXPECT_TRUE(tokenList->selectionModel()->isRowSelected(0, QModelIndex()));
}

TEST_F(InfoViewsTest, DialogTextsAreTranslatedWhenFirstShown) {
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("korvan-info-views-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "test.lng") << "[settings]\nCodePage=2052\nLanguage=Test\n[strings]\n"
                                       "201=Slots:\n302=Token info:\n310=Sign in\n304=Officer\n";
    ASSERT_TRUE(Translator::instance().loadFile((dir / "test.lng").string()));
    start({{1, tokenSlot()}});

    CSlotInfoFormView slotView;
    CTokenInfoFormView tokenView;
    tokenView.showSlot(1);
    EXPECT_EQ(control<QLabel>(&tokenView, 302)->text(), "Token detail:");
    slotView.show();
    tokenView.show();
    EXPECT_EQ(control<QLabel>(&slotView, 201)->text(), "Slots:");
    EXPECT_EQ(control<QLabel>(&tokenView, 302)->text(), "Token info:");
    EXPECT_EQ(control<QPushButton>(&tokenView, 310)->text(), "Sign in");
    EXPECT_EQ(control<QGroupBox>(&tokenView, 304)->title(), "Officer");
    EXPECT_EQ(control<QPushButton>(&tokenView, 311)->text(), "Change User PIN");

    Translator::instance().loadFile((dir / "absent.lng").string());
    std::filesystem::remove_all(dir);
}

} // namespace
