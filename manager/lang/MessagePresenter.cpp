#include "MessagePresenter.h"

#include "MessageFlags.h"
#include "TextFit.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QString>

namespace {

using SB = QMessageBox::StandardButton;

std::vector<MessageBoxLayout::Button> buttonsFor(unsigned type) {
    switch (type) {
    case MB_OKCANCEL:
        return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_ABORTRETRYIGNORE:
        return {{QMessageBox::Abort, IDABORT},
                {QMessageBox::Retry, IDRETRY},
                {QMessageBox::Ignore, IDIGNORE}};
    case MB_YESNOCANCEL:
        return {
            {QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
    case MB_YESNO:
        return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
    case MB_RETRYCANCEL:
        return {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
    default:
        // MB_OK, and any button set we do not know: the user still gets to read the message.
        return {{QMessageBox::Ok, IDOK}};
    }
}

QMessageBox::Icon iconFor(unsigned icon) {
    switch (icon) {
    case MB_ICONHAND:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONEXCLAMATION:
        return QMessageBox::Warning;
    case MB_ICONASTERISK:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

MessagePresenter* installedPresenter = nullptr;

} // namespace

int MessageBoxLayout::answerFor(QMessageBox::StandardButton button) const {
    for (const Button& b : buttons)
        if (b.button == button)
            return b.answer;
    return 0;
}

MessageBoxLayout messageBoxLayout(unsigned flags) {
    MessageBoxLayout layout;
    layout.icon = iconFor(flags & MB_ICONMASK);
    layout.buttons = buttonsFor(flags & MB_TYPEMASK);
    // A default beyond the last button falls back to the first one.
    std::size_t index = (flags & MB_DEFMASK) >> 8;
    layout.defaultButton = layout.buttons[index < layout.buttons.size() ? index : 0].button;
    // Escape answers Cancel where there is one, and OK on a box with only OK;
    // a Yes/No or Abort/Retry/Ignore question has no escape.
    if (layout.answerFor(QMessageBox::Cancel) == IDCANCEL)
        layout.escapeButton = QMessageBox::Cancel;
    else if (layout.buttons.size() == 1)
        layout.escapeButton = layout.buttons.front().button;
    return layout;
}

void composeMessageBox(QMessageBox& box, const MessageRequest& request) {
    MessageBoxLayout layout = messageBoxLayout(request.flags);
    box.setIcon(layout.icon);
    box.setWindowTitle(QString::fromUtf8(request.title.data(), qsizetype(request.title.size())));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromUtf8(request.text.data(), qsizetype(request.text.size())));
    for (const MessageBoxLayout::Button& b : layout.buttons)
        box.addButton(b.button);
    box.setDefaultButton(layout.defaultButton);
    if (layout.escapeButton != QMessageBox::NoButton)
        box.setEscapeButton(layout.escapeButton);
    // The box is as wide as its text and buttons, which may leave the title
    // bar too short for the title; a row of the title's width keeps it whole.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const int width =
            QFontMetrics(box.font()).horizontalAdvance(box.windowTitle()) + kTitleBarAllowance;
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
}

int QMessageBoxPresenter::present(const MessageRequest& request) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()))
        return 0;
    MessageBoxLayout layout = messageBoxLayout(request.flags);
    QMessageBox box(request.owner);
    composeMessageBox(box, request);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (!clicked)
        return IDCANCEL;
    return layout.answerFor(box.standardButton(clicked));
}

int ScriptedPresenter::present(const MessageRequest& request) {
    requests_.push_back(request);
    if (answers_.empty()) {
        ++unscripted_;
        MessageBoxLayout layout = messageBoxLayout(request.flags);
        return layout.answerFor(layout.defaultButton);
    }
    int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

MessagePresenter& messagePresenter() {
    static QMessageBoxPresenter defaultPresenter;
    return installedPresenter ? *installedPresenter : defaultPresenter;
}

void setMessagePresenter(MessagePresenter* presenter) {
    installedPresenter = presenter;
}

ScopedMessagePresenter::ScopedMessagePresenter(MessagePresenter& presenter)
    : previous_(installedPresenter) {
    installedPresenter = &presenter;
}

ScopedMessagePresenter::~ScopedMessagePresenter() {
    installedPresenter = previous_;
}
