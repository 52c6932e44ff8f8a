// The import, export, inspector and viewer dialogs over the software token.

#include "CertUiFixture.h"

#include "CertDetails.h"
#include "CertExportDlg.h"
#include "CertImportDlg.h"
#include "SystemCertViewer.h"
#include "ImportFlow.h"
#include "MessageFlags.h"
#include "ObjectInfoDlg.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextDocument>
#include <QTreeWidget>
#include <QtTest/QTest>

#include <filesystem>

namespace {

class CertDialogsTest : public CertUiTest {
protected:
    // The handle of the first object of the class on the token.
    CK_OBJECT_HANDLE find(CK_OBJECT_CLASS objectClass) {
        for (CK_OBJECT_HANDLE handle : objects()) {
            Bytes value = attribute(handle, CKA_CLASS);
            CK_OBJECT_CLASS found = 0;
            std::copy(value.begin(), value.end(), reinterpret_cast<unsigned char*>(&found));
            if (found == objectClass)
                return handle;
        }
        return CK_INVALID_HANDLE;
    }

    // Runs the import dialog: the path, the password, OK; returns its result.
    int runImport(CCertImportDlg& dialog, const std::string& file, const QString& password) {
        int result = -1;
        whenModal<CCertImportDlg>([&](CCertImportDlg* d) {
            d->setPath(QString::fromStdString(file));
            if (d->passwordShown())
                type(d, 1042, password);
            button(d, 1)->click();
            if (d->isVisible())
                d->reject();
        });
        result = dialog.exec();
        return result;
    }

    static QStringList comboTexts(QFileDialog* dialog) {
        QStringList texts;
        for (QComboBox* combo : dialog->findChildren<QComboBox*>())
            if (combo->objectName() == QLatin1String("fileTypeCombo"))
                for (int i = 0; i < combo->count(); ++i)
                    texts << combo->itemText(i);
        return texts;
    }
};

TEST_F(CertDialogsTest, ImportFileDialogOffersTheFourFiltersAndSetsThePath) {
    std::string p12 = writePkcs12("alice.pfx", "Alice");
    CCertImportDlg dialog(1, {});
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Import Certificate File"));
    EXPECT_FALSE(button(&dialog, 1)->isEnabled());
    QStringList shown;
    QStringList filters;
    whenModal<QFileDialog>([&](QFileDialog* files) {
        shown = comboTexts(files);
        filters = files->nameFilters();
        EXPECT_EQ(files->fileMode(), QFileDialog::ExistingFile);
        EXPECT_EQ(files->selectedNameFilter(),
                  QStringLiteral("PFX Files and P12 Files(*.PFX;*.P12)"));
        files->selectFile(QString::fromStdString(p12));
        QMetaObject::invokeMethod(files, "accept");
    });
    dialog.browse();
    // Back from the file dialog, Return presses OK, not "..." again.
    EXPECT_EQ(dialog.focusWidget(), button(&dialog, 1));
    EXPECT_EQ(shown, QStringList({"PFX Files and P12 Files(*.PFX;*.P12)", "P7B Files(*.P7B)",
                                  "X509 Certificate Files(*.CER)", "All files (*.*)"}));
    // The patterns as they stand, two without a dot.
    EXPECT_EQ(filters,
              QStringList({"PFX Files and P12 Files(*.PFX;*.P12) (*.PFX *.P12)",
                           "P7B Files(*.P7B) (*p7b)", "X509 Certificate Files(*.CER) (*cer)",
                           "All files (*.*) (*.*)"}));
    EXPECT_EQ(dialog.path(), QString::fromStdString(p12));
    EXPECT_TRUE(button(&dialog, 1)->isEnabled());
    EXPECT_TRUE(dialog.passwordShown());

    dialog.setPath(QStringLiteral("/tmp/a.CER"));
    EXPECT_FALSE(dialog.passwordShown());
    dialog.setPath(QStringLiteral("/tmp/b.P7B"));
    EXPECT_FALSE(dialog.passwordShown());
    dialog.setPath(QStringLiteral("/tmp/c.txt"));
    EXPECT_TRUE(dialog.passwordShown());
    dialog.setPath(QString());
    EXPECT_FALSE(button(&dialog, 1)->isEnabled());
    dialog.reject();
}

TEST_F(CertDialogsTest, PathFieldsLookReadOnlyAndIgnoreTyping) {
    CCertImportDlg import(1, {});
    CCertExportDlg exportDialog(1, CK_INVALID_HANDLE);
    for (QDialog* dialog : std::initializer_list<QDialog*>{&import, &exportDialog}) {
        dialog->show();
        QLineEdit* path = nullptr;
        for (QLineEdit* edit : dialog->findChildren<QLineEdit*>())
            if (edit->objectName() == QStringLiteral("pathEdit"))
                path = edit;
        ASSERT_NE(path, nullptr);
        QTest::keyClicks(path, "typed.p12");
        EXPECT_TRUE(path->text().isEmpty());
        const QPalette palette = path->palette();
        EXPECT_EQ(palette.color(QPalette::Active, QPalette::Base),
                  palette.color(QPalette::Active, QPalette::Window));
        EXPECT_FALSE(button(dialog, 1)->isEnabled());
    }
}

TEST_F(CertDialogsTest, ImportsAPkcs12FileAsOneContainerOfThreeObjects) {
    std::string file = writePkcs12("alice.p12", "Alice", "pa55");
    CCertImportDlg dialog(1, {});
    dialog.setWait({});
    EXPECT_EQ(runImport(dialog, file, QStringLiteral("pa55")), IDOK);
    EXPECT_TRUE(dialog.imported());
    EXPECT_TRUE(presenter.requests().empty());
    std::vector<CK_OBJECT_HANDLE> handles = objects();
    ASSERT_EQ(handles.size(), 3u);
    Bytes container = attribute(handles[0], CKA_CONTAINER_NAME);
    EXPECT_EQ(container.size(), 37u);
    for (CK_OBJECT_HANDLE handle : handles)
        EXPECT_EQ(attribute(handle, CKA_CONTAINER_NAME), container);
}

TEST_F(CertDialogsTest, WrongPasswordClosesFirstThenWaitsAndShows5025) {
    std::string file = writePkcs12("alice.p12", "Alice", "right");
    CCertImportDlg dialog(1, {});
    bool visibleDuringWait = true;
    std::chrono::milliseconds waited{0};
    dialog.setWait([&](std::chrono::milliseconds duration) {
        visibleDuringWait = dialog.isVisible();
        waited = duration;
    });
    EXPECT_EQ(runImport(dialog, file, QStringLiteral("wrong")), IDCANCEL);
    EXPECT_FALSE(visibleDuringWait);
    EXPECT_EQ(waited, std::chrono::milliseconds(1000));
    EXPECT_FALSE(dialog.imported());
    ASSERT_EQ(messageIds(presenter), std::vector<int>({5025}));
    EXPECT_EQ(presenter.requests()[0].text, "Wrong password!");
    EXPECT_EQ(presenter.requests()[0].flags, MB_ICONERROR);
    EXPECT_TRUE(objects().empty());
}

TEST_F(CertDialogsTest, UnreadableFileAndLostSessionEachShowTheirMessage) {
    CCertImportDlg missing(1, {});
    missing.setWait({});
    EXPECT_EQ(runImport(missing, path("absent.p12"), QStringLiteral("x")), IDCANCEL);
    EXPECT_EQ(messageIds(presenter), std::vector<int>({5027}));

    intercept().sessionInfoResult = CKR_SESSION_HANDLE_INVALID;
    CCertImportDlg noSession(1, {});
    noSession.setWait({});
    EXPECT_EQ(runImport(noSession, writePkcs12("a.p12", "A"), QStringLiteral("secret")), IDCANCEL);
    EXPECT_EQ(messageIds(presenter), std::vector<int>({5027, 5034}));
}

TEST_F(CertDialogsTest, DuplicateQuestionNoEndsWithoutMessageYesWritesASecondCopy) {
    std::string file = writePkcs12("alice.p12", "Alice");
    ASSERT_EQ(importPkcs12(file), ImportResult::Success);
    std::vector<Bytes> known{attribute(find(CKO_CERTIFICATE), CKA_VALUE)};

    presenter.pushAnswer(IDNO);
    CCertImportDlg declined(1, known);
    declined.setWait({});
    EXPECT_EQ(runImport(declined, file, QStringLiteral("secret")), IDCANCEL);
    EXPECT_EQ(messageIds(presenter), std::vector<int>({5033}));
    EXPECT_EQ(presenter.requests()[0].flags & MB_TYPEMASK, MB_YESNO);
    EXPECT_EQ(objects().size(), 3u);

    presenter.pushAnswer(IDYES);
    CCertImportDlg accepted(1, known);
    accepted.setWait({});
    EXPECT_EQ(runImport(accepted, file, QStringLiteral("secret")), IDOK);
    EXPECT_EQ(messageIds(presenter), std::vector<int>({5033, 5033}));
    EXPECT_EQ(objects().size(), 6u);
}

TEST_F(CertDialogsTest, DeclinedCertificateFileLeavesTheDialogOpen) {
    certs::EvpPkeyPtr key = fixtures::rsaKey(2048);
    certs::X509Ptr certificate = fixtures::selfSigned("Dave", key.get());
    Bytes der = EncodeCertificateDer(certificate.get());
    std::string file = path("dave.cer");
    fixtures::writeFile(file, der);

    presenter.pushAnswer(IDNO);
    CCertImportDlg dialog(1, {der});
    dialog.setWait({});
    bool stillOpen = false;
    whenModal<CCertImportDlg>([&](CCertImportDlg* d) {
        d->setPath(QString::fromStdString(file));
        button(d, 1)->click();
        stillOpen = d->isVisible();
        d->reject();
    });
    dialog.exec();
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(messageIds(presenter), std::vector<int>({5033}));
    EXPECT_TRUE(objects().empty());
}

TEST_F(CertDialogsTest, ExportWritesTheStoredDerThroughTheSaveDialog) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    CK_OBJECT_HANDLE certificate = find(CKO_CERTIFICATE);
    CCertExportDlg dialog(1, certificate);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Export Cert"));
    EXPECT_FALSE(button(&dialog, 1)->isEnabled());

    QStringList shown;
    QString initialName = QStringLiteral("unset");
    bool openAfterPattern = false;
    whenModal<QFileDialog>([&](QFileDialog* files) {
        shown = comboTexts(files);
        EXPECT_EQ(files->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(files->defaultSuffix(), QStringLiteral("cer"));
        EXPECT_FALSE(files->testOption(QFileDialog::DontConfirmOverwrite));
        if (auto* name = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            initialName = name->text();
        files->setDirectory(QString::fromStdString(root_.string()));
        // A name with wildcards is a pattern, never the file to write.
        files->selectFile(QStringLiteral("*.cer"));
        QMetaObject::invokeMethod(files, "accept");
        openAfterPattern = files->isVisible();
        files->selectFile(QStringLiteral("exported"));
        QMetaObject::invokeMethod(files, "accept");
    });
    dialog.browse();
    EXPECT_EQ(initialName, QString());
    EXPECT_TRUE(openAfterPattern);
    EXPECT_FALSE(std::filesystem::exists(root_ / "*.cer"));
    EXPECT_EQ(shown, QStringList({"Cert Files (*.cer)", "All Files (*.*)"}));
    EXPECT_EQ(dialog.path(), QString::fromStdString(path("exported.cer")));
    ASSERT_TRUE(button(&dialog, 1)->isEnabled());

    // Back from the file dialog the focus is on OK: Return exports.
    ASSERT_EQ(dialog.focusWidget(), button(&dialog, 1));
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_EQ(messageIds(presenter), std::vector<int>({871}));
    EXPECT_EQ(dialog.result(), IDOK);
    EXPECT_EQ(fixtures::readFile(path("exported.cer")), attribute(certificate, CKA_VALUE));

    // A path that cannot be written: no message, no file, the dialog stays.
    CCertExportDlg failing(1, certificate);
    failing.show();
    failing.setPath(QString::fromStdString(path("no/such/folder/x.cer")));
    button(&failing, 1)->click();
    EXPECT_TRUE(failing.isVisible());
    EXPECT_EQ(messageIds(presenter), std::vector<int>({871}));
    failing.reject();
}

TEST_F(CertDialogsTest, ViewerShowsNamesValidityAndFingerprints) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    CK_OBJECT_HANDLE certificate = find(CKO_CERTIFICATE);
    CertificateDetails expected;
    ASSERT_TRUE(DescribeCertificate(attribute(certificate, CKA_VALUE), expected));

    QString title;
    QStringList general;
    QStringList fieldNames;
    whenModal<CCertViewerDlg>([&](CCertViewerDlg* viewer) {
        title = viewer->windowTitle();
        general = viewer->generalTexts();
        for (int i = 0; i < viewer->fieldList()->topLevelItemCount(); ++i)
            fieldNames << viewer->fieldList()->topLevelItem(i)->text(0);
        viewer->accept();
    });
    EXPECT_TRUE(ViewCertificateWithSystemViewer(1, certificate));
    EXPECT_EQ(title, QStringLiteral("View certificate"));
    // Long fingerprints wrap between bytes.
    for (QString& text : general)
        text.remove('\n');
    for (const std::string& text :
         {expected.subject, expected.issuer, expected.notAfter, expected.serialNumber,
          expected.sha1Fingerprint, expected.sha256Fingerprint})
        EXPECT_TRUE(general.contains(QString::fromStdString(text))) << text;
    EXPECT_TRUE(general.join('|').contains(QStringLiteral("CN=Alice")));
    ASSERT_FALSE(expected.extensions.empty());
    EXPECT_EQ(fieldNames.size(), 10 + static_cast<int>(expected.extensions.size()));

    // Not a certificate: nothing is shown.
    EXPECT_FALSE(ViewCertificateWithSystemViewer(1, find(CKO_PRIVATE_KEY)));
}

TEST_F(CertDialogsTest, ViewerShowsMarkupInNamesAsText) {
    // A name that, read as rich text, would hide itself and add a line of its own.
    const std::string cn = "<font color=white>Mallory</font><br>CN=Trusted Root CA";
    ASSERT_EQ(importPkcs12(writePkcs12("mallory.p12", cn)), ImportResult::Success);
    CK_OBJECT_HANDLE certificate = find(CKO_CERTIFICATE);
    CertificateDetails details;
    ASSERT_TRUE(DescribeCertificate(attribute(certificate, CKA_VALUE), details));
    // As a label would guess its format, the subject reads as rich text.
    ASSERT_TRUE(Qt::mightBeRichText(QString::fromStdString(details.subject))) << details.subject;

    CCertViewerDlg viewer(details);
    const QList<QLabel*> labels = viewer.tabs()->widget(0)->findChildren<QLabel*>();
    ASSERT_FALSE(labels.isEmpty());
    for (QLabel* label : labels)
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->text().toStdString();
    const auto subject = std::find_if(labels.begin(), labels.end(), [&](QLabel* label) {
        return label->text() == QString::fromStdString(details.subject);
    });
    ASSERT_NE(subject, labels.end());
    // The markup is what the label shows: one line (no <br> break), tags included.
    (*subject)->setWordWrap(false);
    const QFontMetrics metrics = (*subject)->fontMetrics();
    EXPECT_GE((*subject)->sizeHint().width(), metrics.horizontalAdvance((*subject)->text()) - 2);
    EXPECT_LT((*subject)->sizeHint().height(), 2 * metrics.height());
}

TEST_F(CertDialogsTest, InspectorListsEachClassWithBooleansAndDumps) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    struct Expect {
        CK_OBJECT_CLASS objectClass;
        const char* title;
        int rows;
        bool viewer;
    };
    for (Expect e : {Expect{CKO_CERTIFICATE, "Certificate", 12, true},
                     Expect{CKO_PUBLIC_KEY, "Public Key", 18, false},
                     Expect{CKO_PRIVATE_KEY, "Private Key", 23, false}}) {
        TokenObjectInfo record{};
        record.handle = find(e.objectClass);
        record.objectClass = e.objectClass;
        CObjectInfoDlg dialog(1, &record);
        dialog.show();
        QTableWidget* list = dialog.attributeList();
        EXPECT_EQ(dialog.windowTitle(), QString::fromLatin1(e.title));
        ASSERT_EQ(list->rowCount(), e.rows) << e.title;
        EXPECT_EQ(dialog.viewerButton()->isVisible(), e.viewer);
        EXPECT_EQ(list->horizontalHeaderItem(0)->text(), QStringLiteral("Type"));
        EXPECT_EQ(list->horizontalHeaderItem(1)->text(), QStringLiteral("Value"));
        EXPECT_EQ(list->columnWidth(0), 200);
        EXPECT_EQ(list->item(0, 0)->text(), QStringLiteral("CKA_CLASS"));
        EXPECT_EQ(list->item(1, 0)->text(), QStringLiteral("CKA_TOKEN"));
        EXPECT_EQ(list->item(1, 1)->text(), QStringLiteral("TRUE"));
        EXPECT_EQ(list->item(2, 1)->text(), e.objectClass == CKO_PRIVATE_KEY ? "TRUE" : "FALSE");
        EXPECT_TRUE(list->item(0, 1)->text().startsWith(QStringLiteral("CKO_"))); // the class

        // The CKA_CLASS row: four or eight bytes, one line.
        list->selectRow(0);
        QString dump = dialog.valueEdit()->toPlainText();
        EXPECT_TRUE(dump.contains(QStringLiteral("  |  "))) << dump.toStdString();
        EXPECT_EQ(dump.count('\n'), 1);
        // The face the font resolves to on this machine's font set: reported fixed pitch, and
        // drawn so.
        EXPECT_TRUE(QFontInfo(dialog.valueEdit()->font()).fixedPitch())
            << QFontInfo(dialog.valueEdit()->font()).family().toStdString();
        const QFontMetrics metrics(dialog.valueEdit()->font());
        EXPECT_EQ(metrics.horizontalAdvance(QLatin1Char('i')),
                  metrics.horizontalAdvance(QLatin1Char('W')))
            << QFontInfo(dialog.valueEdit()->font()).family().toStdString();
        dialog.reject();
    }

    // The certificate's value: 16 bytes a line, 48 hex characters each.
    TokenObjectInfo record{};
    record.handle = find(CKO_CERTIFICATE);
    record.objectClass = CKO_CERTIFICATE;
    CObjectInfoDlg dialog(1, &record);
    dialog.show();
    QTableWidget* list = dialog.attributeList();
    int valueRow = -1;
    for (int i = 0; i < list->rowCount(); ++i)
        if (list->item(i, 0)->text() == QStringLiteral("CKA_VALUE"))
            valueRow = i;
    ASSERT_EQ(valueRow, 10);
    list->selectRow(valueRow);
    Bytes der = attribute(record.handle, CKA_VALUE);
    QString expected = QString::fromStdString(HexDump(der.data(), der.size(), 1, 16));
    expected.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(dialog.valueEdit()->toPlainText(), expected);
    QString firstLine = dialog.valueEdit()->toPlainText().section('\n', 0, 0);
    EXPECT_EQ(firstLine.indexOf(QStringLiteral("  |  ")), 48);
    dialog.reject();
}

TEST_F(CertDialogsTest, InspectorOfADataObjectAndOfAnotherClass) {
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    CK_BBOOL yes = CK_TRUE;
    char label[] = "notes";
    char value[] = "abc";
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, label, sizeof label - 1},
        {CKA_VALUE, value, sizeof value - 1},
    };
    TokenObjectInfo record{};
    record.objectClass = CKO_DATA;
    ASSERT_EQ(realFns()->C_CreateObject(session(), attributes, 4, &record.handle), CKR_OK);

    CObjectInfoDlg dialog(1, &record);
    dialog.show();
    QTableWidget* list = dialog.attributeList();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Data"));
    ASSERT_EQ(list->rowCount(), 7);
    EXPECT_EQ(list->item(5, 0)->text(), QStringLiteral("CKA_APPLICATION"));
    EXPECT_EQ(list->item(6, 0)->text(), QStringLiteral("CKA_VALUE"));
    EXPECT_FALSE(dialog.viewerButton()->isVisible());
    list->selectRow(6);
    EXPECT_EQ(dialog.valueEdit()->toPlainText(),
              QStringLiteral("61 62 63") + QString(40, ' ') + QStringLiteral("  |  abc\n"));
    list->selectRow(5); // no application: an empty value empties the edit
    EXPECT_EQ(dialog.valueEdit()->toPlainText(), QString());
    dialog.reject();

    TokenObjectInfo other{};
    other.handle = record.handle;
    other.objectClass = CKO_SECRET_KEY;
    CObjectInfoDlg another(1, &other);
    another.show();
    EXPECT_EQ(another.windowTitle(), QStringLiteral("Another Data"));
    EXPECT_EQ(another.attributeList()->rowCount(), 0);
    another.reject();
}

} // namespace

namespace {

TEST_F(CertDialogsTest, CertificateAndBundleFilesImportWithoutPassword) {
    certs::EvpPkeyPtr key = fixtures::rsaKey(2048);
    certs::X509Ptr one = fixtures::selfSigned("One", key.get(), 1);
    certs::X509Ptr two = fixtures::selfSigned("Two", key.get(), 2);
    certs::X509Ptr three = fixtures::selfSigned("Three", key.get(), 3);
    std::string bundle = path("chain.p7b");
    fixtures::writeFile(bundle, fixtures::makePkcs7({one.get(), two.get(), three.get()}));
    std::string single = path("four.CER");
    certs::X509Ptr four = fixtures::selfSigned("Four", key.get(), 4);
    fixtures::writeFile(single, fixtures::pem(four.get()));

    CCertImportDlg bundleDialog(1, {});
    bundleDialog.setWait({});
    EXPECT_EQ(runImport(bundleDialog, bundle, QString()), IDOK);
    EXPECT_TRUE(bundleDialog.imported());
    EXPECT_FALSE(bundleDialog.passwordShown());
    CCertImportDlg singleDialog(1, {});
    singleDialog.setWait({});
    EXPECT_EQ(runImport(singleDialog, single, QString()), IDOK);
    EXPECT_TRUE(presenter.requests().empty());
    EXPECT_EQ(objects().size(), 4u);
}

// Nothing to import into: the dialog stays open and says nothing.
TEST_F(CertDialogsTest, ImportIntoAMissingSlotLeavesTheDialogOpen) {
    CCertImportDlg dialog(99, {});
    dialog.setWait({});
    bool stillOpen = false;
    whenModal<CCertImportDlg>([&](CCertImportDlg* d) {
        d->setPath(QString::fromStdString(writePkcs12("a.p12", "A")));
        type(d, 1042, QStringLiteral("secret"));
        button(d, 1)->click();
        stillOpen = d->isVisible() && button(d, 1)->isEnabled() && button(d, 2)->isEnabled();
        d->reject();
    });
    dialog.exec();
    EXPECT_TRUE(stillOpen);
    EXPECT_TRUE(presenter.requests().empty());
    EXPECT_TRUE(objects().empty());
}

TEST_F(CertDialogsTest, TokenGoneDuringTheImportShowsTokenRemoved) {
    std::string file = writePkcs12("alice.p12", "Alice", "right");
    CCertImportDlg dialog(1, {});
    dialog.setWait([](std::chrono::milliseconds) { slot()->tokenPresent = false; });
    EXPECT_EQ(runImport(dialog, file, QStringLiteral("wrong")), IDCANCEL);
    slot()->tokenPresent = true;
    EXPECT_EQ(messageIds(presenter), std::vector<int>({5020}));
}

TEST_F(CertDialogsTest, ReadsThatFailShowNothing) {
    ASSERT_EQ(importPkcs12(writePkcs12("alice.p12", "Alice")), ImportResult::Success);
    CK_OBJECT_HANDLE certificate = find(CKO_CERTIFICATE);

    // Export for a slot that is gone: no file, no message.
    CCertExportDlg exportDialog(99, certificate);
    exportDialog.show();
    exportDialog.setPath(QString::fromStdString(path("x.cer")));
    button(&exportDialog, 1)->click();
    EXPECT_TRUE(exportDialog.isVisible());
    EXPECT_FALSE(std::filesystem::exists(path("x.cer")));
    exportDialog.reject();

    // The inspector of an object it cannot read lists nothing.
    TokenObjectInfo record{};
    record.handle = certificate;
    record.objectClass = CKO_CERTIFICATE;
    CObjectInfoDlg inspector(99, &record);
    inspector.show();
    EXPECT_EQ(inspector.attributeList()->rowCount(), 0);
    EXPECT_EQ(inspector.windowTitle(), QStringLiteral("Certificate"));
    inspector.reject();

    EXPECT_FALSE(ViewCertificateWithSystemViewer(99, certificate));
    EXPECT_TRUE(presenter.requests().empty());
}

} // namespace
