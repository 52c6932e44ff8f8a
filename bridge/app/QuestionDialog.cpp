#include "bridge/app/QuestionDialog.h"

#include "bridge/app/DialogTexts.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace bridge::app {

QuestionDialog::QuestionDialog(const Texts& texts, const QString& origin, int timeoutSeconds, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(texts.title));
    // The question must not hide behind the browser that caused it.
    setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(QString::fromUtf8(texts.text).arg(origin), this);
    // The origin comes from a web page: never read it as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    layout->addWidget(label);
    if (texts.checkBox) {
        checkBox_ = new QCheckBox(QString::fromUtf8(texts.checkBox), this);
        layout->addWidget(checkBox_);
    }
    auto* buttons = new QDialogButtonBox(this);
    yes_ = buttons->addButton(QString::fromUtf8(texts.yes), QDialogButtonBox::AcceptRole);
    no_ = buttons->addButton(QString::fromUtf8(texts.no), QDialogButtonBox::RejectRole);
    // A stray Enter must not allow anything.
    no_->setDefault(true);
    no_->setFocus();
    layout->addWidget(buttons);
    connect(yes_, &QPushButton::clicked, this, [this] {
        outcome_ = Outcome::yes;
        accept();
    });
    connect(no_, &QPushButton::clicked, this, [this] {
        outcome_ = Outcome::no;
        reject();
    });
    if (timeoutSeconds > 0)
        QTimer::singleShot(timeoutSeconds * 1000, this, [this] { reject(); });
}

QuestionDialog* QuestionDialog::forApproval(const QString& origin, int timeoutSeconds) {
    return new QuestionDialog({texts::kApprovalTitle, texts::kApprovalText, texts::kApprovalAllow,
                               texts::kApprovalDeny, texts::kApprovalRemember},
                              origin, timeoutSeconds);
}

QuestionDialog* QuestionDialog::forDecrypt(const QString& origin, int timeoutSeconds) {
    return new QuestionDialog({texts::kDecryptTitle, texts::kDecryptText, texts::kDecryptAllow,
                               texts::kDecryptDeny, nullptr},
                              origin, timeoutSeconds);
}

bool QuestionDialog::checked() const {
    return checkBox_ && checkBox_->isChecked();
}

std::optional<server::ApprovalAnswer> QuestionDialog::approvalAnswer() const {
    if (outcome_ == Outcome::unanswered)
        return std::nullopt;
    return server::ApprovalAnswer{outcome_ == Outcome::yes, checked()};
}

} // namespace bridge::app
