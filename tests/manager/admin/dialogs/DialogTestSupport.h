#pragma once

// One QApplication for the program, message boxes captured by a scripted
// presenter, and helpers that drive a modal dialog from inside its own
// event loop.

#include "ControlId.h"
#include "MessagePresenter.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

inline void ensureApplication() {
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "admin_dialogs_tests";
        static char* argv[] = {name, nullptr};
        // Never destroyed: Qt's input devices are gone before static
        // destructors run.
        new QApplication(argc, argv);
    }
}

// The dialog's widget of class W that carries the control id.
template <typename W> W* control(QWidget* dialog, int id) {
    for (W* widget : dialog->findChildren<W*>())
        if (controlId(widget) == id)
            return widget;
    ADD_FAILURE() << "no control " << id;
    return nullptr;
}

inline QLineEdit* edit(QWidget* dialog, int id) {
    return control<QLineEdit>(dialog, id);
}
inline QPushButton* button(QWidget* dialog, int id) {
    return control<QPushButton>(dialog, id);
}

// Replaces the edit's text as typing would, through its validator and limit.
inline void type(QWidget* dialog, int id, const QString& text) {
    QLineEdit* field = edit(dialog, id);
    field->selectAll();
    field->del();
    bool ascii = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
    if (ascii)
        QTest::keyClicks(field, text);
    else
        field->insert(text); // QTest types ASCII only; this path validates alike
}

// Runs `act` on the dialog of type D once it is the active modal window,
// i.e. from inside its exec().
template <typename D> void whenModal(std::function<void(D*)> act) {
    auto attempt = std::make_shared<std::function<void(int)>>();
    *attempt = [act, weak = std::weak_ptr(attempt)](int left) {
        auto self = weak.lock();
        if (auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget())) {
            act(dialog);
            return;
        }
        if (left > 0 && self)
            QTimer::singleShot(10, [self, left] { (*self)(left - 1); });
        else
            ADD_FAILURE() << "the dialog never became modal";
    };
    QTimer::singleShot(0, [attempt] { (*attempt)(500); });
}

// Message ids in the order shown (-1 for composed texts).
inline std::vector<int> messageIds(const ScriptedPresenter& presenter) {
    std::vector<int> ids;
    for (const MessageRequest& request : presenter.requests())
        ids.push_back(request.id);
    return ids;
}
