#include "AdminContext.h"

#include "AdminDialog.h"
#include "TextFit.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

#include <algorithm>
#include <limits>

AdminDialog::AdminDialog(CK_SLOT_ID slotId, QWidget* parent) : QDialog(parent), slotId_(slotId) {}

void AdminDialog::showEvent(QShowEvent* event) {
    if (!initialized_) {
        initialized_ = true;
        initDialog();
        fitTexts(this);
    }
    QDialog::showEvent(event);
}

void AdminDialog::finish(DialogEnd end) {
    if (end == DialogEnd::Ok)
        done(kResultOk);
    else if (end == DialogEnd::Cancel)
        done(kResultCancel);
}

void AdminDialog::setSecretEdits(std::initializer_list<QLineEdit*> edits) {
    secretEdits_.assign(edits);
}

void AdminDialog::done(int result) {
    for (QLineEdit* edit : secretEdits_) {
        // Blocked so the OK rule does not run over half-cleared fields.
        QSignalBlocker block(edit);
        edit->clear();
    }
    QDialog::done(result);
}

void AdminDialog::reject() {
    done(kResultCancel);
}

AdminDialog::Busy::Busy(std::initializer_list<QPushButton*> buttons) : buttons_(buttons) {
    for (QPushButton* button : buttons_)
        button->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

AdminDialog::Busy::~Busy() {
    QApplication::restoreOverrideCursor();
    for (QPushButton* button : buttons_)
        button->setEnabled(true);
}

void wipeBytes(QByteArray& bytes) {
    if (bytes.isDetached())
        std::fill(bytes.begin(), bytes.end(), '\0');
    bytes.clear();
}

void wipeText(QString& text) {
    // A copy that shares the edit's buffer would detach on write and wipe
    // only its own new buffer; the shared one stays the edit's to clear.
    if (text.isDetached())
        std::fill(text.begin(), text.end(), QChar(u'\0'));
    text.clear();
}

SecurePin pinFromEdit(const QLineEdit* edit) {
    QString text = edit->text();
    QByteArray bytes = text.toUtf8();
    SecurePin pin(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    wipeBytes(bytes);
    wipeText(text);
    return pin;
}

std::string utf8FromEdit(const QLineEdit* edit) {
    QByteArray bytes = edit->text().toUtf8();
    return std::string(bytes.constData(), std::size_t(bytes.size()));
}

void limitPinEdit(QLineEdit* edit, CK_ULONG maximum) {
    // The edit counts characters, the operations bytes: a text within this
    // limit may still be refused there once encoded.
    constexpr CK_ULONG kLimit = kMaxPinBytes;
    edit->setMaxLength(int(maximum == 0 ? kLimit : std::min(maximum, kLimit)));
}
