#include "bridge/app/QuestionDialog.h"

#include "bridge/app/DialogTexts.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace bridge::app {

namespace {

class QtArmTimer : public ArmTimer {
public:
    QtArmTimer() {
        timer_.setSingleShot(true);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (fire_)
                fire_();
        });
    }
    void start(std::chrono::milliseconds delay, std::function<void()> fire) override {
        fire_ = std::move(fire);
        timer_.start(delay);
    }
    void stop() override { timer_.stop(); }

private:
    QTimer timer_;
    std::function<void()> fire_;
};

} // namespace

QuestionDialog::QuestionDialog(const Texts& texts, const QString& origin, int timeoutSeconds, QWidget* parent)
    : QDialog(parent), armTimer_(std::make_unique<QtArmTimer>()) {
    setWindowTitle(QString::fromUtf8(texts.title));
    // The question must not hide behind the browser that caused it; yes stays disabled until
    // the dialog has been in front for a while.
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
    yes_->setEnabled(false);
    // A stray Enter must not allow anything.
    yes_->setAutoDefault(false);
    no_->setDefault(true);
    no_->setFocus();
    layout->addWidget(buttons);
    connect(yes_, &QPushButton::clicked, this, [this] {
        if (!yes_->isEnabled())
            return;
        outcome_ = Outcome::yes;
        accept();
    });
    connect(no_, &QPushButton::clicked, this, [this] { reject(); });
    if (timeoutSeconds > 0)
        QTimer::singleShot(timeoutSeconds * 1000, this, [this] { endUnanswered(); });
}

QuestionDialog::~QuestionDialog() = default;

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

void QuestionDialog::setArmTimer(std::unique_ptr<ArmTimer> timer) {
    disarm();
    armTimer_ = std::move(timer);
}

void QuestionDialog::disarm() {
    armTimer_->stop();
    yes_->setEnabled(false);
}

bool QuestionDialog::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::WindowActivate:
        active_ = true;
        disarm();
        armTimer_->start(kArmDelay, [this] {
            if (active_ && isVisible())
                yes_->setEnabled(true);
        });
        break;
    case QEvent::WindowDeactivate:
        active_ = false;
        disarm();
        break;
    default: break;
    }
    return QDialog::event(event);
}

void QuestionDialog::hideEvent(QHideEvent* event) {
    active_ = false;
    disarm();
    QDialog::hideEvent(event);
}

void QuestionDialog::reject() {
    if (outcome_ == Outcome::unanswered)
        outcome_ = Outcome::no;
    QDialog::reject();
}

void QuestionDialog::endUnanswered() {
    outcome_ = Outcome::unanswered;
    QDialog::done(QDialog::Rejected);
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
