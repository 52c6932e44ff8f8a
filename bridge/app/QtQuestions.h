// The bridge's questions to the user as Qt dialogs. The server asks from its HTTP threads; each
// dialog runs on the GUI thread while the asking thread waits; the server asks one at a time.
#pragma once

#include "bridge/server/Bridge.h"

#include <QObject>

#include <QPointer>

#include <atomic>
#include <functional>

namespace bridge::app {

class QuestionDialog;

class QtQuestions : public QObject, public server::UserQuestions {
public:
    // Create on the GUI thread, after the QApplication. canAsk: dialogsPossible(); when false
    // every question is refused at once.
    QtQuestions(bool canAsk, int timeoutSeconds);

    bool canAsk() const override { return canAsk_; }
    std::optional<server::ApprovalAnswer> askApproval(const std::string& origin) override;
    bool confirmDecrypt(const std::string& origin) override;

    // From now on every question is refused without a dialog, and an open one ends unanswered;
    // call before stopping the server, so that no server thread waits for a GUI thread that no
    // longer runs its event loop.
    void close();

private:
    void onGuiThread(const std::function<void()>& task);
    template <typename Read>
    auto runDialog(QuestionDialog* dialog, Read read);

    bool canAsk_;
    int timeoutSeconds_;
    std::atomic<bool> closing_{false};
    QPointer<QuestionDialog> open_; // GUI thread only
};

// Whether dialogs can be shown at all: not when origins were pre-approved, on Qt's offscreen or
// minimal platform, or without a display.
bool dialogsPossible(bool preApproved, const QString& platformName, bool hasDisplay);

// DISPLAY or WAYLAND_DISPLAY is set.
bool displayAvailable();

} // namespace bridge::app
