// The certificate dialog, offscreen: a presenter installed for the test sees the dialog instead
// of a user and closes it at once.
#include "TestCertificates.h"

#include <cryptuiapi.h>

#include "platform/crypto/CertificateDialog.h"
#include "platform/win/UserWait.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct Shown {
    int count = 0;
    QString className;
    QString title;
    QWidget* parent = nullptr;
    QStringList labels;
};
Shown shown;

// What the process's user-wait observer was told: 1 for a begin, 0 for an end.
std::vector<int> announced;

int recordAndClose(QDialog& dialog) {
    ++shown.count;
    shown.className = QString::fromLatin1(dialog.metaObject()->className());
    shown.title = dialog.windowTitle();
    shown.parent = dialog.parentWidget();
    shown.labels.clear();
    for (QLabel* label : dialog.findChildren<QLabel*>())
        shown.labels << label->text();
    return QDialog::Accepted;
}

struct ContextCloser {
    void operator()(PCCERT_CONTEXT context) const { CertFreeCertificateContext(context); }
};

class CertificateDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (QApplication::instance() == nullptr) {
            static int argc = 1;
            static char name[] = "crypto_api_tests";
            static char* argv[] = {name, nullptr};
            new QApplication(argc, argv);
        }
    }
    void SetUp() override {
        shown = {};
        previous_ = crypto::setCertificateDialogPresenter(&recordAndClose);
        CertificateRecipe recipe;
        recipe.subject = {{"CN", "Dialog Subject"}};
        der_ = makeCertificate(recipe);
        context_.reset(CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                    der_.data(), static_cast<DWORD>(der_.size())));
        ASSERT_TRUE(context_);
    }
    void TearDown() override { crypto::setCertificateDialogPresenter(previous_); }

    CRYPTUI_VIEWCERTIFICATE_STRUCTA info(DWORD size) const {
        CRYPTUI_VIEWCERTIFICATE_STRUCTA view{};
        view.dwSize = size;
        view.pCertContext = context_.get();
        return view;
    }

    crypto::CertificateDialogPresenter previous_ = nullptr;
    Bytes der_;
    std::unique_ptr<const CERT_CONTEXT, ContextCloser> context_;
};

TEST_F(CertificateDialogTest, BothCallerSizesShowTheViewerOverTheirParent) {
    QWidget owner;
    CRYPTUI_VIEWCERTIFICATE_STRUCTA view = info(120);
    view.hwndParent = &owner;
    view.szTitle = "Certificate of the order";
    HCERTSTORE store = context_->hCertStore;
    view.cStores = 1;
    view.rghStores = &store;
    BOOL changed = TRUE;
    ASSERT_TRUE(CryptUIDlgViewCertificateA(&view, &changed)) << GetLastError();
    EXPECT_FALSE(changed);
    EXPECT_EQ(shown.count, 1);
    EXPECT_EQ(shown.className, QStringLiteral("CCertViewerDlg"));
    EXPECT_EQ(shown.parent, &owner);
    EXPECT_EQ(shown.title, QStringLiteral("Certificate of the order"));
    EXPECT_TRUE(shown.labels.contains(QStringLiteral("Subject:"))) << "English default texts";
    EXPECT_TRUE(shown.labels.contains(QStringLiteral("CN=Dialog Subject")));

    // The 32-bit size: no title given, so the viewer's own; the fields after 72 bytes are
    // never read, whatever they hold.
    view = info(72);
    view.hwndParent = &owner;
    view.cStores = 0xFFFFFFFF;
    view.rghStores = reinterpret_cast<HCERTSTORE*>(0x1);
    ASSERT_TRUE(CryptUIDlgViewCertificateA(&view, nullptr));
    EXPECT_EQ(shown.count, 2);
    EXPECT_EQ(shown.parent, &owner);
    EXPECT_EQ(shown.title, QStringLiteral("View certificate"));

    // A window value that is no widget of this process gives no parent, and no crash.
    view.hwndParent = reinterpret_cast<HWND>(0x1234);
    ASSERT_TRUE(CryptUIDlgViewCertificateA(&view, nullptr));
    EXPECT_EQ(shown.parent, nullptr);
}

TEST_F(CertificateDialogTest, OtherSizesMissingArgumentsAndDamagedCertificatesAreRefused) {
    auto refused = [](const CRYPTUI_VIEWCERTIFICATE_STRUCTA* view) {
        SetLastError(ERROR_SUCCESS);
        const BOOL result = CryptUIDlgViewCertificateA(view, nullptr);
        return !result ? GetLastError() : ERROR_SUCCESS;
    };
    for (DWORD size : {0u, 68u, 76u, 116u, 124u}) {
        CRYPTUI_VIEWCERTIFICATE_STRUCTA view = info(size);
        EXPECT_EQ(refused(&view), ERROR_INVALID_PARAMETER) << size;
    }
    EXPECT_EQ(refused(nullptr), ERROR_INVALID_PARAMETER);
    CRYPTUI_VIEWCERTIFICATE_STRUCTA view = info(120);
    view.pCertContext = nullptr;
    EXPECT_EQ(refused(&view), ERROR_INVALID_PARAMETER);

    // A context a caller filled in itself, with bytes that are no certificate.
    BYTE junk[] = {0x30, 0x03, 0x02, 0x01, 0x00};
    CERT_CONTEXT handMade{X509_ASN_ENCODING, junk, sizeof junk, nullptr, nullptr};
    view.pCertContext = &handMade;
    EXPECT_NE(refused(&view), ERROR_SUCCESS);
    EXPECT_EQ(shown.count, 0) << "nothing was shown for a refused call";
}

} // namespace

TEST_F(CertificateDialogTest, AViewerLeftOpenIsAnnouncedAndClosesAfterTheLimit) {
    setenv("KORVAN_USER_WAIT_S", "1", 1);
    korvanSetUserWaitObserver([](int begins) { announced.push_back(begins); });
    crypto::setCertificateDialogPresenter(nullptr); // the real modal loop
    // Should the limit not close the viewer, the test does instead of hanging.
    QObject scope;
    bool forced = false;
    QTimer::singleShot(8000, &scope, [&forced] {
        forced = true;
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
            dialog->done(QDialog::Rejected);
    });
    QElapsedTimer clock;
    clock.start();
    CRYPTUI_VIEWCERTIFICATE_STRUCTA view = info(sizeof view);
    EXPECT_TRUE(CryptUIDlgViewCertificateA(&view, nullptr));
    korvanSetUserWaitObserver(nullptr);
    unsetenv("KORVAN_USER_WAIT_S");
    EXPECT_FALSE(forced);
    EXPECT_GE(clock.elapsed(), 900); // Qt's coarse timers may fire up to 5% early
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_EQ(announced, (std::vector<int>{1, 0}));
}
