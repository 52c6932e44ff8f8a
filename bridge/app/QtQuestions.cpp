#include "bridge/app/QtQuestions.h"

#include "bridge/app/QuestionDialog.h"

#include <QMetaObject>
#include <QThread>

#include <cstdlib>
#include <memory>

namespace bridge::app {

bool displayAvailable() {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return true;
    }
    return false;
}

bool dialogsPossible(bool preApproved, const QString& platformName, bool display) {
    if (preApproved || !display)
        return false;
    return platformName != QLatin1String("offscreen") && platformName != QLatin1String("minimal");
}

QtQuestions::QtQuestions(bool canAsk, int timeoutSeconds) : canAsk_(canAsk), timeoutSeconds_(timeoutSeconds) {}

// Runs the dialog to its end; the dialog is gone afterwards even if the application quits
// while it is open.
template <typename Read>
auto QtQuestions::runDialog(QuestionDialog* raw, Read read) {
    std::unique_ptr<QuestionDialog> dialog(raw);
    open_ = dialog.get();
    dialog->exec();
    open_ = nullptr;
    return read(*dialog);
}

void QtQuestions::close() {
    closing_ = true;
    QMetaObject::invokeMethod(this, [this] {
        if (open_)
            open_->endUnanswered();
    });
}

void QtQuestions::onGuiThread(const std::function<void()>& task) {
    if (QThread::currentThread() == thread())
        task();
    else
        QMetaObject::invokeMethod(this, task, Qt::BlockingQueuedConnection);
}

std::optional<server::ApprovalAnswer> QtQuestions::askApproval(const std::string& origin) {
    std::optional<server::ApprovalAnswer> answer;
    if (!canAsk_ || closing_)
        return answer;
    const QString name = QString::fromStdString(origin);
    onGuiThread([&] {
        if (closing_)
            return;
        answer = runDialog(QuestionDialog::forApproval(name, timeoutSeconds_),
                           [](const QuestionDialog& dialog) { return dialog.approvalAnswer(); });
    });
    return closing_ ? std::nullopt : answer;
}

bool QtQuestions::confirmDecrypt(const std::string& origin) {
    bool confirmed = false;
    if (!canAsk_ || closing_)
        return false;
    const QString name = QString::fromStdString(origin);
    onGuiThread([&] {
        if (closing_)
            return;
        confirmed = runDialog(QuestionDialog::forDecrypt(name, timeoutSeconds_), [](const QuestionDialog& dialog) {
            return dialog.outcome() == QuestionDialog::Outcome::yes;
        });
    });
    return confirmed && !closing_;
}

} // namespace bridge::app
