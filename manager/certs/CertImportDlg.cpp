#include "CertImportDlg.h"

#include "Messages.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include "ui_CertImportDlg.h"

#include <QByteArray>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

#include <openssl/crypto.h>

namespace {

// The password's UTF-8 bytes straight into `out`; the intermediate buffer
// is wiped before it is released.
void assignPassword(const QString& text, std::string& out) {
    QByteArray bytes = text.toUtf8();
    out.assign(bytes.constData(), std::size_t(bytes.size()));
    OPENSSL_cleanse(bytes.data(), std::size_t(bytes.size()));
}

} // namespace

void waitProcessingEvents(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    // Timers and slot events go on; the user waits with the wait cursor.
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}

CCertImportDlg::CCertImportDlg(CK_SLOT_ID slotId, std::vector<Bytes> knownCertificates,
                               QWidget* parent)
    : CertDialog(kTemplateId, parent), ui_(new Ui::CCertImportDlg), slotId_(slotId),
      knownCertificates_(std::move(knownCertificates)), wait_(waitProcessingEvents) {
    ui_->setupUi(this);
    setFixedSize(size());
    showAsReadOnly(ui_->pathEdit);
    connect(ui_->browseButton, &QPushButton::clicked, this, [this] { browse(); });
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { accept(); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { reject(); });
    connect(ui_->pathEdit, &QLineEdit::textChanged, this, [this] { applyOkRule(); });
}

CCertImportDlg::~CCertImportDlg() {
    delete ui_;
}

void CCertImportDlg::browse() {
    if (std::optional<QString> chosen = chooseFile(configureImportFileDialog))
        setPath(*chosen);
    // Left on "...", Return would open the file dialog again instead of
    // pressing OK.
    if (ui_->okButton->isEnabled())
        ui_->okButton->setFocus(Qt::OtherFocusReason);
}

void CCertImportDlg::setPath(const QString& path) {
    rememberFileDialogFolder(path);
    ui_->pathEdit->setText(path);
    applyOkRule();
    applyPasswordVisibility();
}

QString CCertImportDlg::path() const {
    return ui_->pathEdit->text();
}

bool CCertImportDlg::passwordShown() const {
    return !ui_->passwordEdit->isHidden();
}

void CCertImportDlg::applyOkRule() {
    ui_->okButton->setEnabled(!ui_->pathEdit->text().isEmpty());
}

void CCertImportDlg::applyPasswordVisibility() {
    bool shown = PasswordNeededForPath(utf8(ui_->pathEdit->text()));
    ui_->passwordLabel->setVisible(shown);
    ui_->passwordEdit->setVisible(shown);
}

void CCertImportDlg::done(int result) {
    {
        QSignalBlocker block(ui_->passwordEdit);
        ui_->passwordEdit->clear();
    }
    CertDialog::done(result);
}

void CCertImportDlg::accept() {
    if (ui_->pathEdit->text().isEmpty())
        return;
    ImportRequest request;
    request.slotId = slotId_;
    request.path = utf8(ui_->pathEdit->text());
    request.knownCertificates = knownCertificates_;
    if (passwordShown())
        assignPassword(ui_->passwordEdit->text(), request.password);

    MessageBoxPrompter prompter;
    ImportFlowHooks hooks;
    hooks.prompter = &prompter;
    closedEarly_ = false;
    hooks.closeEarly = [this] {
        closedEarly_ = true;
        done(kResultCancel);
    };
    hooks.wait = wait_;

    ImportFlowOutcome outcome;
    {
        WaitCursor busy;
        QList<QPushButton*> buttons{ui_->okButton, ui_->cancelButton, ui_->browseButton};
        for (QPushButton* button : buttons)
            button->setEnabled(false);
        outcome =
            RunCertificateImport(TokenLibrary::instance(), SlotManager::instance(), request, hooks);
        ui_->cancelButton->setEnabled(true);
        ui_->browseButton->setEnabled(true);
        applyOkRule();
    }
    WipePassword(request.password);

    switch (outcome.end) {
    case ImportDialogEnd::StayOpen:
        return;
    case ImportDialogEnd::Accepted:
        imported_ = outcome.imported;
        done(kResultOk);
        return;
    case ImportDialogEnd::Cancelled:
        if (outcome.messageId != 0)
            showMessage(outcome.messageId, outcome.messageDefault, outcome.messageFlags);
        if (!closedEarly_)
            done(kResultCancel);
        return;
    }
}
