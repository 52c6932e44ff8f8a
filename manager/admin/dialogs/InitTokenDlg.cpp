#include "EraseCheck.h"
#include "InitToken.h"

#include "DialogTranslation.h"
#include "InitTokenDlg.h"
#include "MessageFlags.h"
#include "Messages.h"
#include "QtText.h"
#include "Translator.h"
#include "ui_InitTokenDlg.h"

#include <QPointer>
#include <QTimer>
#include <QValidator>

#include <algorithm>
#include <functional>
#include <optional>
#include <utility>

namespace {

// The digits' value, saturated above any field's maximum; nullopt when the
// text holds anything but digits.
std::optional<unsigned long long> digitsValue(const QString& text) {
    constexpr unsigned long long kCap = 1ULL << 40;
    unsigned long long value = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = std::min(kCap, value * 10 + (c.unicode() - u'0'));
    }
    return value;
}

// Digits only, and nothing above the field's maximum: a keystroke that would
// leave the field out of range is refused and reported. A token value shown
// out of range may still be shortened towards the range.
class RangeValidator : public QValidator {
public:
    RangeValidator(QLineEdit* edit, unsigned maximum, std::function<void()> onRefused)
        : QValidator(edit), edit_(edit), maximum_(maximum), onRefused_(std::move(onRefused)) {}

    State validate(QString& input, int&) const override {
        if (input.isEmpty())
            return Intermediate;
        std::optional<unsigned long long> value = digitsValue(input);
        if (!value)
            return Invalid;
        if (*value <= maximum_)
            return Acceptable;
        std::optional<unsigned long long> before = digitsValue(edit_->text());
        if (before && *before > maximum_ && *value < *before)
            return Intermediate;
        onRefused_();
        return Invalid;
    }

private:
    QLineEdit* edit_;
    unsigned maximum_;
    std::function<void()> onRefused_;
};

} // namespace

std::string integerRangeMessage(unsigned minimum, unsigned maximum) {
    return pinBoundsLabel(856, "Please enter an integer between %d and %d.",
                          PinBounds{minimum, maximum});
}

CInitTokenDlg::CInitTokenDlg(CK_SLOT_ID slotId, QWidget* parent)
    : AdminDialog(slotId, parent), ui_(std::make_unique<Ui::CInitTokenDlg>()) {
    ui_->setupUi(this);
    setFixedSize(size());
    setSecretEdits({ui_->soPinEdit, ui_->userPinEdit});
    ui_->nameEdit->setMaxLength(int(kMaxTokenNameLength));

    numberFields_ = {{ui_->soCountEdit, kMaxPinErrorCountField},
                     {ui_->userCountEdit, kMaxPinErrorCountField},
                     {ui_->publicMemoryEdit, kMaxMemorySizeField},
                     {ui_->privateMemoryEdit, kMaxMemorySizeField}};
    for (const NumberField& field : numberFields_) {
        field.edit->setMaxLength(int(std::to_string(field.maximum).size()));
        field.edit->setValidator(
            new RangeValidator(field.edit, field.maximum, [this, field] { refuse(field); }));
    }
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        connect(edit, &QLineEdit::textChanged, this, [this] { updateOkButton(); });
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { onOk(); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { done(kResultCancel); });
}

CInitTokenDlg::~CInitTokenDlg() = default;

void CInitTokenDlg::initDialog() {
    InitTokenDefaults defaults = readInitTokenDefaults(slotId());
    // The token's own values are shown as they are, even out of range.
    loading_ = true;
    const PinBounds& bounds = defaults.bounds;
    minimumPin_ = bounds.minimum;
    translateDialog(this, kDialogId);
    ui_->soPinLabel->setText(
        qtext(pinBoundsLabel(850, "Set SO PIN(%d to %d characters):", bounds)));
    if (!vendorInitAvailable())
        enterModuleMode(bounds);
    else if (tokenNeedsSoPin(slotId()))
        addCurrentSoPin(bounds);
    ui_->userPinLabel->setText(
        qtext(pinBoundsLabel(851, "Set User PIN(%d to %d characters):", bounds)));
    // The edits' digit limit must not cut a longer value the token holds.
    const std::pair<QLineEdit*, unsigned long> shown[] = {
        {ui_->soCountEdit, defaults.counts.soPinErrorCount},
        {ui_->userCountEdit, defaults.counts.userPinErrorCount},
        {ui_->publicMemoryEdit, defaults.publicMemorySize},
        {ui_->privateMemoryEdit, defaults.privateMemorySize}};
    for (const auto& [edit, value] : shown) {
        QString text = QString::number(value);
        edit->setMaxLength(std::max(edit->maxLength(), int(text.size())));
        edit->setText(text);
    }
    ui_->nameEdit->setText(qtext(defaults.label));
    loading_ = false;
    limitPinEdit(ui_->soPinEdit, bounds.maximum);
    limitPinEdit(ui_->userPinEdit, bounds.maximum);
    updateOkButton();
}

void CInitTokenDlg::enterModuleMode(const PinBounds& bounds) {
    moduleMode_ = true;
    ui_->soPinLabel->setText(qtext(translate(857, "Current SO PIN:")));
    // Placed in the free band between the settings and the buttons.
    newSoPinLabel_ = new QLabel(this);
    newSoPinLabel_->setGeometry(15, 288, 377, 13);
    newSoPinLabel_->setText(qtext(
        pinBoundsLabel(858, "New SO PIN, optional (%d to %d characters):", bounds)));
    newSoPinEdit_ = new QLineEdit(this);
    newSoPinEdit_->setGeometry(15, 304, 381, 23);
    newSoPinEdit_->setEchoMode(QLineEdit::Password);
    limitPinEdit(newSoPinEdit_, bounds.maximum);
    setSecretEdits({ui_->soPinEdit, ui_->userPinEdit, newSoPinEdit_});
    connect(newSoPinEdit_, &QLineEdit::textChanged, this, [this] { updateOkButton(); });
    moduleNote_ = new QLabel(this);
    moduleNote_->setGeometry(15, 331, 381, 30);
    moduleNote_->setWordWrap(true);
    moduleNote_->setTextFormat(Qt::PlainText);
    moduleNote_->setText(qtext(translate(
        859, "This token's module sets its own PIN error counts and memory sizes; only the "
             "vendor's module lets them be set here.")));
    ui_->countGroup->setEnabled(false);
    ui_->memoryGroup->setEnabled(false);
    for (const NumberField& field : numberFields_)
        field.edit->setEnabled(false);
    for (QLabel* label : {ui_->soCountLabel, ui_->userCountLabel, ui_->publicMemoryLabel,
                          ui_->privateMemoryLabel})
        label->setEnabled(false);
    // A tab order that visits the new edit after the name.
    setTabOrder(ui_->nameEdit, newSoPinEdit_);
}

void CInitTokenDlg::addCurrentSoPin(const PinBounds& bounds) {
    currentSoPinLabel_ = new QLabel(this);
    currentSoPinLabel_->setGeometry(15, 288, 377, 13);
    currentSoPinLabel_->setText(qtext(translate(857, "Current SO PIN:")));
    currentSoPinEdit_ = new QLineEdit(this);
    currentSoPinEdit_->setProperty("controlId", kCurrentSoPinControlId);
    currentSoPinEdit_->setGeometry(15, 304, 381, 23);
    currentSoPinEdit_->setEchoMode(QLineEdit::Password);
    limitPinEdit(currentSoPinEdit_, bounds.maximum);
    setSecretEdits({ui_->soPinEdit, ui_->userPinEdit, currentSoPinEdit_});
    connect(currentSoPinEdit_, &QLineEdit::textChanged, this, [this] { updateOkButton(); });
    setTabOrder(ui_->privateMemoryEdit, currentSoPinEdit_);
}

ModuleInitInput CInitTokenDlg::moduleInput() const {
    ModuleInitInput input;
    input.currentSoPin = pinFromEdit(ui_->soPinEdit);
    input.userPin = pinFromEdit(ui_->userPinEdit);
    input.newSoPin = pinFromEdit(newSoPinEdit_);
    input.label = utf8FromEdit(ui_->nameEdit);
    return input;
}

std::optional<unsigned> CInitTokenDlg::fieldValue(const NumberField& field) {
    QString text = field.edit->text();
    if (text.isEmpty() || text.size() > 10)
        return std::nullopt;
    unsigned long long value = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value > field.maximum)
        return std::nullopt;
    return unsigned(value);
}

void CInitTokenDlg::refuse(const NumberField& field) {
    if (loading_)
        return;
    QPointer<CInitTokenDlg> self(this);
    unsigned maximum = field.maximum;
    QTimer::singleShot(0, this, [self, maximum] {
        if (self)
            showText(integerRangeMessage(0, maximum), MB_ICONEXCLAMATION);
    });
}

void CInitTokenDlg::updateOkButton() {
    if (moduleMode_) {
        ui_->okButton->setEnabled(moduleInitOkEnabled(PinBounds{minimumPin_, 0}, moduleInput()));
        return;
    }
    // A numeric field without a valid number keeps OK disabled: it cannot
    // be read, and its message comes when OK is pressed or the key refused.
    std::optional<unsigned> values[4];
    bool readable = true;
    for (std::size_t i = 0; i < numberFields_.size(); ++i) {
        values[i] = fieldValue(numberFields_[i]);
        readable = readable && values[i].has_value();
    }
    // The current SO PIN, where asked, is held to the same minimum.
    bool current = currentSoPinEdit_ == nullptr ||
                   pinFromEdit(currentSoPinEdit_).size() >= minimumPin_;
    ui_->okButton->setEnabled(
        readable && current && initTokenOkEnabled(PinBounds{minimumPin_, 0}, pinFromEdit(ui_->soPinEdit),
                                       utf8FromEdit(ui_->nameEdit), pinFromEdit(ui_->userPinEdit),
                                       *values[0], *values[1], *values[2], *values[3]));
}

bool CInitTokenDlg::validateFields() {
    for (const NumberField& field : numberFields_) {
        if (fieldValue(field))
            continue;
        showText(integerRangeMessage(0, field.maximum), MB_ICONEXCLAMATION);
        field.edit->setFocus();
        field.edit->selectAll();
        return false;
    }
    return true;
}

void CInitTokenDlg::onOk() {
    if (moduleMode_) {
        tokenTouched_ = true;
        ModuleInitOutcome outcome;
        {
            Busy busy({ui_->okButton, ui_->cancelButton});
            outcome = runModuleInitToken(slotId(), moduleInput());
        }
        slotsReread_ = outcome.slotsReread;
        tokenSlot_ = outcome.slotId;
        if (outcome.succeeded) {
            succeeded_ = true;
            newName_ = outcome.newName;
            newPin_ = std::move(outcome.newPin);
        }
        finish(outcome.end);
        return;
    }
    if (!validateFields())
        return;
    InitTokenInput input;
    if (currentSoPinEdit_ != nullptr)
        input.currentSoPin = pinFromEdit(currentSoPinEdit_);
    input.soPin = pinFromEdit(ui_->soPinEdit);
    input.userPin = pinFromEdit(ui_->userPinEdit);
    input.label = utf8FromEdit(ui_->nameEdit);
    input.soPinErrorCount = std::uint8_t(*fieldValue(numberFields_[0]));
    input.userPinErrorCount = std::uint8_t(*fieldValue(numberFields_[1]));
    input.publicMemorySize = *fieldValue(numberFields_[2]);
    input.privateMemorySize = *fieldValue(numberFields_[3]);

    tokenTouched_ = true;
    InitTokenOutcome outcome;
    {
        Busy busy({ui_->okButton, ui_->cancelButton});
        outcome = runInitToken(slotId(), input);
    }
    if (outcome.succeeded) {
        succeeded_ = true;
        newName_ = outcome.newName;
        newPin_ = std::move(outcome.newPin);
    }
    finish(outcome.end);
}

bool CInitTokenDlg::result(std::string& nameOut, SecurePin& userPinOut) const {
    userPinOut.clear();
    nameOut.clear();
    if (!succeeded_)
        return false;
    nameOut = newName_;
    userPinOut = newPin_;
    return true;
}
