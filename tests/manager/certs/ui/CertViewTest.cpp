// The certificate view over the software token: grouping, images, buttons,
// delete, keyboard, layout, and the dialogs it runs.

#include "CertUiFixture.h"

#include "CertExportDlg.h"
#include "CertImages.h"
#include "CertImportDlg.h"
#include "CertManagerFormView.h"
#include "CertViewerDlg.h"
#include "LeftTreeView.h"
#include "MainFrame.h"
#include "MessageFlags.h"
#include "ObjectInfoDlg.h"
#include "PaneView.h"

#include <QSignalSpy>
#include <QTreeWidget>

namespace {

class CertViewTest : public CertUiTest {
protected:
    // A certificate object in its own container, as a .cer import writes it.
    CK_OBJECT_HANDLE putCertificate(X509* certificate, const std::string& container) {
        Bytes der = EncodeCertificateDer(certificate);
        CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        unsigned char* subject = nullptr;
        int subjectLength = i2d_X509_NAME(X509_get_subject_name(certificate), &subject);
        std::vector<CK_ATTRIBUTE> attributes = {
            {CKA_CLASS, &objectClass, sizeof objectClass},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_CERTIFICATE_TYPE, &type, sizeof type},
            {CKA_SUBJECT, subject, static_cast<CK_ULONG>(subjectLength)},
            {CKA_VALUE, der.data(), der.size()},
            {CKA_CONTAINER_NAME, const_cast<char*>(container.c_str()), container.size() + 1},
        };
        CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
        EXPECT_EQ(
            realFns()->C_CreateObject(session(), attributes.data(), attributes.size(), &handle),
            CKR_OK);
        OPENSSL_free(subject);
        return handle;
    }

    CK_OBJECT_HANDLE putData() {
        CK_OBJECT_CLASS objectClass = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        char label[] = "notes";
        char value[] = "abc";
        std::vector<CK_ATTRIBUTE> attributes = {
            {CKA_CLASS, &objectClass, sizeof objectClass},
            {CKA_TOKEN, &yes, sizeof yes},
            {CKA_LABEL, label, sizeof label - 1},
            {CKA_VALUE, value, sizeof value - 1},
        };
        CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
        EXPECT_EQ(
            realFns()->C_CreateObject(session(), attributes.data(), attributes.size(), &handle),
            CKR_OK);
        return handle;
    }

    static bool hasImage(QTreeWidgetItem* item, TreeImage image) {
        return item->icon(0).pixmap(16, 16).toImage() ==
               certImagePixmap(static_cast<int>(image), 1.0).toImage();
    }

    static void select(CCertManagerFormView& view, int root, int child) {
        view.select(TreeSelection{root, child});
    }

    static std::vector<bool> buttons(const CCertManagerFormView& view) {
        return {view.importButton()->isEnabled(), view.exportButton()->isEnabled(),
                view.viewButton()->isEnabled(), view.deleteButton()->isEnabled()};
    }
};

TEST_F(CertViewTest, ContainersGroupTheirObjectsSortedWithImagesByValidity) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    putData();
    certs::EvpPkeyPtr key = fixtures::rsaKey(2048);
    fixtures::CertRecipe expired;
    expired.subject.cn = "Old";
    expired.notBeforeDays = -30;
    expired.notAfterDays = -1;
    certs::X509Ptr old = fixtures::makeCertificate(expired, key.get(), key.get());
    putCertificate(old.get(), "OLD-CONTAINER");

    auto view = makeView();
    EXPECT_EQ(treeTexts(*view),
              QStringList({"Alice's Alice ID", "  Certificate", "  PrivateKey", "  PublicKey",
                           "Old's Old ID", "  Certificate", "Demo token", "  Data"}));
    QTreeWidget* tree = view->tree();
    EXPECT_TRUE(hasImage(tree->topLevelItem(0), TreeImage::Container));
    EXPECT_TRUE(hasImage(tree->topLevelItem(0)->child(0), TreeImage::CertificateValid));
    EXPECT_TRUE(hasImage(tree->topLevelItem(0)->child(1), TreeImage::PrivateKey));
    EXPECT_TRUE(hasImage(tree->topLevelItem(0)->child(2), TreeImage::PublicKey));
    EXPECT_TRUE(hasImage(tree->topLevelItem(1)->child(0), TreeImage::CertificateOutOfDate));
    EXPECT_TRUE(hasImage(tree->topLevelItem(2)->child(0), TreeImage::Data));
    EXPECT_TRUE(tree->topLevelItem(0)->isExpanded());
    EXPECT_EQ(view->model().knownCertificates.size(), 2u);

    // The first root is selected: Import and Delete only.
    EXPECT_EQ(view->selection().root, 0);
    EXPECT_EQ(view->selection().child, -1);
    EXPECT_EQ(buttons(*view), std::vector<bool>({true, false, false, true}));
    select(*view, 0, 0); // certificate
    EXPECT_EQ(buttons(*view), std::vector<bool>({true, true, true, true}));
    select(*view, 0, 1); // private key
    EXPECT_EQ(buttons(*view), std::vector<bool>({true, false, true, true}));
    select(*view, -1, -1);
    EXPECT_EQ(buttons(*view), std::vector<bool>({true, false, false, false}));
}

TEST_F(CertViewTest, LoginMarkAndNavigationSelectionDecideWhatTheViewOffers) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    auto loggedOut = makeView(false);
    EXPECT_EQ(loggedOut->tree()->topLevelItemCount(), 1);
    EXPECT_FALSE(loggedOut->canModify());
    EXPECT_EQ(buttons(*loggedOut), std::vector<bool>({false, false, false, false}));

    CCertManagerFormView nothingSelected;
    nothingSelected.setNavigationQuery([] { return std::optional<bool>(); });
    nothingSelected.refresh(1);
    EXPECT_EQ(nothingSelected.tree()->topLevelItemCount(), 0);
    EXPECT_FALSE(nothingSelected.importButton()->isEnabled());

    // A slot that does not exist changes nothing, not even the slot shown.
    nothingSelected.refresh(77);
    EXPECT_EQ(nothingSelected.slotId(), 1u);
}

TEST_F(CertViewTest, EmptyTokenLeavesDeleteDisabledAndRefreshFollowsTheToken) {
    auto view = makeView();
    EXPECT_EQ(view->tree()->topLevelItemCount(), 0);
    EXPECT_EQ(buttons(*view), std::vector<bool>({true, false, false, false}));

    ASSERT_EQ(importPkcs12(writePkcs12("bob.p12", "Bob")), ImportResult::Success);
    view->refresh(1);
    EXPECT_EQ(treeTexts(*view),
              QStringList({"Bob's Bob ID", "  Certificate", "  PrivateKey", "  PublicKey"}));
    EXPECT_TRUE(view->deleteButton()->isEnabled());
}

TEST_F(CertViewTest, DeleteRemovesContainersAndObjectsAfterYes) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    ASSERT_EQ(importPkcs12(writePkcs12("bob.p12", "Bob")), ImportResult::Success);
    auto view = makeView();

    // No: nothing happens.
    presenter.pushAnswer(IDNO);
    select(*view, 1, -1);
    view->onDelete();
    EXPECT_EQ(messageIds(presenter), std::vector<int>({1260}));
    EXPECT_EQ(objects().size(), 6u);
    EXPECT_EQ(view->tree()->topLevelItemCount(), 2);

    // The whole container.
    presenter.pushAnswer(IDYES);
    view->onDelete();
    EXPECT_EQ(messageIds(presenter), std::vector<int>({1260, 1260, 1261}));
    EXPECT_EQ(presenter.requests().back().flags, MB_ICONINFORMATION);
    EXPECT_EQ(objects().size(), 3u);
    EXPECT_EQ(treeTexts(*view),
              QStringList({"Alice's Alice ID", "  Certificate", "  PrivateKey", "  PublicKey"}));
    EXPECT_EQ(view->model().knownCertificates.size(), 1u);
    EXPECT_EQ(view->selection().root, 0);

    // One object; the last one takes its container with it. Without its
    // certificate the container is named after the token, as after a refresh.
    presenter.pushAnswer(IDYES);
    select(*view, 0, 0);
    view->onDelete();
    EXPECT_EQ(treeTexts(*view), QStringList({"Demo token", "  PrivateKey", "  PublicKey"}));
    EXPECT_TRUE(view->model().knownCertificates.empty());
    presenter.pushAnswer(IDYES);
    select(*view, 0, 0);
    view->onDelete();
    presenter.pushAnswer(IDYES);
    select(*view, 0, 0);
    view->onDelete();
    EXPECT_EQ(view->tree()->topLevelItemCount(), 0);
    EXPECT_FALSE(view->deleteButton()->isEnabled());
    EXPECT_TRUE(objects().empty());
}

TEST_F(CertViewTest, FailedDestroyStopsTheDeleteAndReports) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    auto view = makeView();
    int destroys = 0;
    intercept().onDestroy = [&](CK_OBJECT_HANDLE) -> std::optional<CK_RV> {
        if (++destroys == 2)
            return CKR_DEVICE_ERROR;
        return std::nullopt;
    };
    presenter.pushAnswer(IDYES);
    select(*view, 0, -1);
    view->onDelete();
    EXPECT_EQ(messageIds(presenter), std::vector<int>({1260, 1262}));
    EXPECT_EQ(presenter.requests().back().flags, MB_ICONERROR);
    EXPECT_EQ(objects().size(), 2u);
    EXPECT_EQ(treeTexts(*view), QStringList({"Alice's Alice ID", "  PrivateKey", "  PublicKey"}));
}

TEST_F(CertViewTest, ResizeKeepsMarginsAndMovesTheButtonRow) {
    auto view = makeView();
    view->resize(600, 400);
    QCoreApplication::processEvents();
    // One width for the row, the widest text's, and the template's gap of 9.
    const int w = view->importButton()->width();
    EXPECT_GE(w, 75);
    EXPECT_EQ(view->importButton()->geometry(), QRect(11, 400 - 11 - 23, w, 23));
    EXPECT_EQ(view->exportButton()->geometry(), QRect(11 + w + 9, 366, w, 23));
    EXPECT_EQ(view->viewButton()->geometry(), QRect(11 + 2 * (w + 9), 366, w, 23));
    EXPECT_EQ(view->deleteButton()->geometry(), QRect(11 + 3 * (w + 9), 366, w, 23));
    EXPECT_EQ(view->tree()->geometry(), QRect(11, 29, 600 - 22, 366 - 11 - 29));

    view->resize(420, 260);
    QCoreApplication::processEvents();
    EXPECT_EQ(view->importButton()->geometry(), QRect(11, 226, w, 23));
    EXPECT_EQ(view->tree()->geometry(), QRect(11, 29, 398, 226 - 11 - 29));
}

TEST_F(CertViewTest, EnterIsSwallowedAndTabLeavesAsTheRulesSay) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    auto view = makeView();
    QSignalSpy left(view.get(), &CCertManagerFormView::tabToNavigation);

    select(*view, 0, 1);
    // The tree would activate its current item on Enter; the view eats the key.
    QSignalSpy activated(view->tree(), &QTreeWidget::activated);
    QTest::keyClick(view->tree(), Qt::Key_Return);
    QTest::keyClick(view->tree(), Qt::Key_Enter);
    EXPECT_EQ(activated.count(), 0);

    QTest::keyClick(view->tree(), Qt::Key_Tab); // Import and View are on
    EXPECT_EQ(left.count(), 0);
    QTest::keyClick(view->viewButton(), Qt::Key_Tab); // Delete is on
    EXPECT_EQ(left.count(), 0);
    QTest::keyClick(view->deleteButton(), Qt::Key_Tab);
    EXPECT_EQ(left.count(), 1);

    // Logged out with nothing selected: Import, Export and View all off.
    auto loggedOut = makeView(false);
    QSignalSpy leftToo(loggedOut.get(), &CCertManagerFormView::tabToNavigation);
    loggedOut->select(TreeSelection{});
    QTest::keyClick(loggedOut->tree(), Qt::Key_Tab);
    EXPECT_EQ(leftToo.count(), 1);
    // View on, Delete off (not logged in).
    loggedOut->select(TreeSelection{0, 0});
    QTest::keyClick(loggedOut->viewButton(), Qt::Key_Tab);
    EXPECT_EQ(leftToo.count(), 2);
}

TEST_F(CertViewTest, ImportFromTheViewRefreshesTreeAndFreeMemory) {
    std::string file = writePkcs12("carol.p12", "Carol");
    auto view = makeView();
    const CK_ULONG freeBefore = slot()->tokenNumber(3);
    whenModal<CCertImportDlg>([&](CCertImportDlg* dialog) {
        EXPECT_EQ(view->runningDialog.data(), dialog);
        dialog->setWait({});
        dialog->setPath(QString::fromStdString(file));
        type(dialog, 1042, QStringLiteral("secret"));
        button(dialog, 1)->click();
    });
    view->onImport();
    EXPECT_EQ(view->runningDialog.data(), nullptr);
    EXPECT_TRUE(presenter.requests().empty());
    EXPECT_EQ(treeTexts(*view),
              QStringList({"Carol's Carol ID", "  Certificate", "  PrivateKey", "  PublicKey"}));
    EXPECT_LT(slot()->tokenNumber(3), freeBefore);
}

TEST_F(CertViewTest, ExportAndViewRunAsTheRunningDialog) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    auto view = makeView();
    select(*view, 0, 0);
    bool sawExport = false;
    whenModal<CCertExportDlg>([&](CCertExportDlg* dialog) {
        sawExport = view->runningDialog.data() == dialog;
        dialog->reject();
    });
    view->onExport();
    EXPECT_TRUE(sawExport);

    bool sawInspector = false;
    whenModal<CObjectInfoDlg>([&](CObjectInfoDlg* dialog) {
        sawInspector = view->runningDialog.data() == dialog && dialog->rows().size() == 12u;
        dialog->reject();
    });
    // A double click on an object item does what View does.
    QTreeWidgetItem* certificate = view->tree()->topLevelItem(0)->child(0);
    emit view->tree()->itemDoubleClicked(certificate, 0);
    EXPECT_TRUE(sawInspector);
    EXPECT_EQ(view->runningDialog.data(), nullptr);
}

// The main window ends the view's dialog when a token comes or goes, also
// when the inspector has the certificate viewer open on top of it.
TEST_F(CertViewTest, TokenEventEndsTheRunningDialogAsCancelled) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    CMainFrame frame;
    QTreeWidgetItem* slotItem = frame.tree()->findSlotItem(1);
    ASSERT_NE(slotItem, nullptr);
    CLeftTreeView::itemData(slotItem->child(0))->loggedIn = 1;
    frame.tree()->selectItem(slotItem->child(0));
    CCertManagerFormView* view = frame.pane()->certManagerView();
    ASSERT_EQ(view->tree()->topLevelItemCount(), 1);
    EXPECT_TRUE(view->importButton()->isEnabled());
    view->select(TreeSelection{0, 0});

    int result = -1;
    whenModal<CObjectInfoDlg>([&](CObjectInfoDlg* inspector) {
        whenModal<CCertViewerDlg>([&](CCertViewerDlg*) { frame.handleSlotEvent(1, 2); });
        inspector->showViewer();
        result = inspector->result();
    });
    view->onView();
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(view->runningDialog.data(), nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_TRUE(presenter.requests().empty());
}

} // namespace

namespace {

// Closes whatever modal dialog opens, and says whether one did.
bool dialogOpensDuring(const std::function<void()>& act) {
    bool opened = false;
    QTimer::singleShot(0, [&opened] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            opened = true;
            modal->close();
        }
    });
    act();
    QCoreApplication::processEvents();
    return opened;
}

TEST_F(CertViewTest, NothingRunsWithoutASlotOrASelection) {
    CCertManagerFormView unrefreshed;
    EXPECT_FALSE(dialogOpensDuring([&] { unrefreshed.onImport(); }));
    EXPECT_FALSE(dialogOpensDuring([&] { unrefreshed.onExport(); }));
    EXPECT_FALSE(dialogOpensDuring([&] { unrefreshed.onView(); }));

    // A container item is no object to view or export.
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    auto view = makeView();
    view->select(TreeSelection{0, -1});
    EXPECT_FALSE(dialogOpensDuring([&] { view->onExport(); }));
    EXPECT_FALSE(dialogOpensDuring([&] { view->onView(); }));
    EXPECT_TRUE(presenter.requests().empty());
}

} // namespace
