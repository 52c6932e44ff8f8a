#pragma once

// Small pieces every window and dialog of the manager needs: the toolkit's
// text from the UTF-8 strings the rest of the code uses, and the wait cursor
// for the length of one piece of token work.

#include <QApplication>
#include <QString>

#include <string>

inline QString qtext(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};
