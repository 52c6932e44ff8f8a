#include "CertExportDlg.h"

#include "CertFileImport.h"
#include "Messages.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include "ui_CertExportDlg.h"

CCertExportDlg::CCertExportDlg(CK_SLOT_ID slotId, CK_OBJECT_HANDLE handle, QWidget* parent)
    : CertDialog(kTemplateId, parent), ui_(new Ui::CCertExportDlg), slotId_(slotId),
      handle_(handle) {
    ui_->setupUi(this);
    setFixedSize(size());
    showAsReadOnly(ui_->pathEdit);
    connect(ui_->browseButton, &QPushButton::clicked, this, [this] { browse(); });
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { accept(); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { reject(); });
    connect(ui_->pathEdit, &QLineEdit::textChanged, this,
            [this](const QString& text) { ui_->okButton->setEnabled(!text.isEmpty()); });
}

CCertExportDlg::~CCertExportDlg() {
    delete ui_;
}

void CCertExportDlg::browse() {
    if (std::optional<QString> chosen = chooseFile(configureExportFileDialog))
        setPath(*chosen);
    // Left on "...", Return would open the file dialog again instead of
    // pressing OK.
    if (ui_->okButton->isEnabled())
        ui_->okButton->setFocus(Qt::OtherFocusReason);
}

void CCertExportDlg::setPath(const QString& path) {
    rememberFileDialogFolder(path);
    ui_->pathEdit->setText(path);
}

QString CCertExportDlg::path() const {
    return ui_->pathEdit->text();
}

void CCertExportDlg::accept() {
    CK_RV rv = CKR_GENERAL_ERROR;
    {
        WaitCursor busy;
        CK_FUNCTION_LIST* functions = TokenLibrary::instance().functions();
        if (functions == nullptr || SlotManager::instance().findSlot(slotId_) == nullptr ||
            path().isEmpty())
            return;
        rv = ExportCertificate(functions, slotId_, handle_, utf8(path()));
    }
    if (rv != CKR_OK)
        return;
    showMessage(871, "Export certificate successfully!", MB_ICONINFORMATION);
    done(kResultOk);
}
