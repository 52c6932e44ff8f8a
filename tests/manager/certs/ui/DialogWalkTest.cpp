// Every window of the manager, in each shipped language, shows its texts
// whole: no label, button or group title is narrower than it needs, none
// reaches out of its parent, no list column cuts its texts, and every window
// is wide enough for its title.
#include "CertUiFixture.h"

#include "AboutDlg.h"
#include "CertExportDlg.h"
#include "CertImportDlg.h"
#include "CertManagerFormView.h"
#include "ChangeTokenNameDlg.h"
#include "InitTokenDlg.h"
#include "LeftTreeView.h"
#include "LoginDlg.h"
#include "MainFrame.h"
#include "MessagePresenter.h"
#include "Messages.h"
#include "MgrWindow.h"
#include "ObjectInfoDlg.h"
#include "PaneView.h"
#include "PinDialogs.h"
#include "ProductConfig.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTreeWidget>

#include <functional>

namespace {

constexpr int kTitleAllowance = 96;

void settle() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

QString describe(const QWidget* widget, const QString& text) {
    return QStringLiteral("%1 \"%2\"").arg(QString::fromLatin1(widget->metaObject()->className()),
                                           text);
}

// The width a column's texts take: the widest cell, plus the tree's
// indentation for its level.
int columnNeeds(QAbstractItemView* view, int column) {
    auto* tree = qobject_cast<QTreeView*>(view);
    int widest = 0;
    std::function<void(const QModelIndex&, int)> walk = [&](const QModelIndex& parent, int depth) {
        QAbstractItemModel* model = view->model();
        for (int row = 0; row < model->rowCount(parent); ++row) {
            QModelIndex index = model->index(row, column, parent);
            int indent = tree != nullptr && column == 0
                             ? tree->indentation() * (depth + (tree->rootIsDecorated() ? 1 : 0))
                             : 0;
            widest = std::max(widest, view->sizeHintForIndex(index).width() + indent);
            if (tree != nullptr && tree->isExpanded(model->index(row, 0, parent)))
                walk(model->index(row, 0, parent), depth + 1);
        }
    };
    walk(QModelIndex(), 0);
    return widest;
}

// What is cut in the window as it is shown now, one line per fault.
QStringList cutTexts(QWidget* window) {
    QStringList faults;
    const int title = QFontMetrics(window->font()).horizontalAdvance(window->windowTitle());
    if (window->width() < title + kTitleAllowance)
        faults << QStringLiteral("window %1 px for title \"%2\" (%3 px)")
                      .arg(window->width())
                      .arg(window->windowTitle())
                      .arg(title);
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (widget->window() != window || !widget->isVisibleTo(window))
            continue;
        QString text;
        int needed = 0;
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            text = label->text();
            needed = label->sizeHint().width();
            if (label->wordWrap() && label->heightForWidth(label->width()) <= label->height())
                needed = 0;
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            text = button->text();
            needed = button->sizeHint().width();
        } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
            text = group->title();
            needed = group->minimumSizeHint().width();
        } else if (auto* table = qobject_cast<QTableWidget*>(widget)) {
            for (int column = 0; column < table->columnCount(); ++column) {
                const int width = table->columnWidth(column);
                const int needs = columnNeeds(table, column);
                if (needs > width)
                    faults << QStringLiteral("%1 column %2: %3 px for %4 px of text")
                                  .arg(table->objectName())
                                  .arg(column)
                                  .arg(width)
                                  .arg(needs);
                if (table->horizontalHeader()->isVisible() &&
                    table->horizontalHeader()->sectionSizeHint(column) > width)
                    faults << QStringLiteral("%1 header %2 cut").arg(table->objectName()).arg(column);
            }
            continue;
        } else if (auto* tree = qobject_cast<QTreeWidget*>(widget)) {
            const int needs = columnNeeds(tree, 0);
            if (needs > tree->columnWidth(0))
                faults << QStringLiteral("%1: items need %2 px, column has %3")
                              .arg(tree->objectName())
                              .arg(needs)
                              .arg(tree->columnWidth(0));
            continue;
        } else {
            continue;
        }
        if (text.isEmpty())
            continue;
        if (needed > widget->width())
            faults << QStringLiteral("%1: %2 px for %3 px").arg(describe(widget, text))
                          .arg(widget->width())
                          .arg(needed);
        QWidget* parent = widget->parentWidget();
        if (parent != nullptr && !parent->rect().contains(widget->geometry()))
            faults << QStringLiteral("%1 reaches out of its parent").arg(describe(widget, text));
    }
    return faults;
}

class DialogWalkTest : public CertUiTest, public ::testing::WithParamInterface<std::uint32_t> {
protected:
    void SetUp() override {
        CertUiTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        Translator& translator = Translator::instance();
        translator.setStem(productConfig.managerLanguageStem);
        translator.setLanguageId(GetParam());
        ASSERT_TRUE(translator.initialize()) << "no language file for " << GetParam();
        certificateFile_ = writePkcs12("walk.p12", "A rather long common name of a person");
        ASSERT_EQ(importPkcs12(certificateFile_), ImportResult::Success);
        slot()->refreshTokenInfo();
    }
    void TearDown() override {
        Translator::instance().setLanguageId(1033);
        Translator::instance().initialize();
        CertUiTest::TearDown();
    }

    void expectWhole(QWidget& window, const char* name) {
        window.show();
        settle();
        QStringList faults = cutTexts(&window);
        EXPECT_TRUE(faults.isEmpty()) << name << " (" << GetParam() << "):\n  "
                                      << faults.join(QStringLiteral("\n  ")).toStdString();
    }

    template <typename Dialog> void walkAdmin(const char* name) {
        Dialog dialog(1);
        expectWhole(dialog, name);
        dialog.reject();
    }

    std::string certificateFile_;
};

TEST_P(DialogWalkTest, EveryDialogShowsItsTextsWhole) {
    {
        CAboutDlg about;
        expectWhole(about, "about");
    }
    walkAdmin<CLoginDlg>("login");
    walkAdmin<CChangeUserPinDlg>("change user PIN");
    walkAdmin<CUnblockTokenDlg>("unblock");
    walkAdmin<CInitTokenDlg>("init token");
    walkAdmin<CChangeSoPinDlg>("change SO PIN");
    walkAdmin<CChangeTokenNameDlg>("change token name");

    std::unique_ptr<CCertManagerFormView> view = makeView();
    ASSERT_FALSE(view->model().roots.empty());
    {
        CCertImportDlg dialog(1, view->model().knownCertificates);
        dialog.setPath(QString::fromStdString(certificateFile_));
        expectWhole(dialog, "import");
    }
    for (const ObjectNode& child : view->model().roots.front().children) {
        if (child.record->objectClass == CKO_CERTIFICATE) {
            CCertExportDlg dialog(1, child.record->handle);
            expectWhole(dialog, "export");
        }
        CObjectInfoDlg inspector(1, child.record);
        expectWhole(inspector, "object inspector");
    }
}

TEST_P(DialogWalkTest, MainWindowShowsItsTextsWhole) {
    // At its first size: from empty settings.
    QTemporaryDir settings;
    qputenv("XDG_CONFIG_HOME", settings.path().toUtf8());
    std::unique_ptr<CMainFrame> frame = createMainFrame();
    settle();
    expectWhole(*frame, "main window, slot list");
    QTreeWidgetItem* token = frame->tree()->rootItem()->child(0);
    ASSERT_NE(token, nullptr);
    frame->tree()->selectItem(token);
    expectWhole(*frame, "main window, token");
    ASSERT_GT(token->childCount(), 0);
    frame->tree()->markLoggedOut(1);
    frame->tree()->selectItem(token->child(0));
    EXPECT_TRUE(frame->pane()->certManagerView()->loginButton()->isVisibleTo(frame.get()));
    expectWhole(*frame, "main window, data management before login");
}

TEST_P(DialogWalkTest, MessageBoxesShowTheirTitlesWhole) {
    // A short message and a long one.
    const std::pair<int, const char*> messages[] = {
        {805, "Wrong PIN."}, {1109, "Failed to initialize token, please check your input!"}};
    for (auto [id, text] : messages) {
        MessageRequest request;
        request.id = id;
        request.text = translate(id, text);
        request.title = translate(kMessageTitleId, kMessageTitleDefault);
        request.flags = MB_OK | MB_ICONASTERISK;
        QMessageBox box;
        composeMessageBox(box, request);
        expectWhole(box, text);
    }
}

INSTANTIATE_TEST_SUITE_P(Languages, DialogWalkTest, ::testing::Values(1033u, 2052u),
                         [](const auto& info) { return std::to_string(info.param); });

} // namespace
