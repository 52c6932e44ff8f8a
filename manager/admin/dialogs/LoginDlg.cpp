#include "LoginStep.h"

#include "DialogTranslation.h"
#include "LoginDlg.h"
#include "ui_LoginDlg.h"

CLoginDlg::CLoginDlg(CK_SLOT_ID slotId, QWidget* parent)
    : AdminDialog(slotId, parent), ui_(std::make_unique<Ui::CLoginDlg>()) {
    ui_->setupUi(this);
    setFixedSize(size());
    setSecretEdits({ui_->pinEdit});
    connect(ui_->pinEdit, &QLineEdit::textChanged, this, [this] { updateLoginButton(); });
    connect(ui_->loginButton, &QPushButton::clicked, this, [this] { onLogin(); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { done(kResultCancel); });
}

CLoginDlg::~CLoginDlg() = default;

void CLoginDlg::initDialog() {
    PinBounds bounds = readPinBounds(slotId());
    minimumPin_ = bounds.minimum;
    translateDialog(this, kDialogId);
    limitPinEdit(ui_->pinEdit, bounds.maximum);
    updateLoginButton();
}

void CLoginDlg::updateLoginButton() {
    ui_->loginButton->setEnabled(
        loginEnabled(PinBounds{minimumPin_, 0}, pinFromEdit(ui_->pinEdit)));
}

void CLoginDlg::onLogin() {
    loggedIn_ = false;
    LoginOutcome outcome;
    {
        Busy busy({ui_->loginButton, ui_->cancelButton});
        outcome = runLoginStep(slotId(), pinFromEdit(ui_->pinEdit));
    }
    loggedIn_ = outcome.loggedIn;
    done(outcome.end == DialogEnd::Ok ? kResultOk : kResultCancel);
}
