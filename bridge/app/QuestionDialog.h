// A question for the user naming a web origin: a yes button, a no button, optionally a check
// box, and a time limit after which the dialog closes unanswered.
//
// The page decides when the dialog appears, so a click aimed at the page could land on it. Yes
// works only once the dialog has been shown and the active window for kArmDelay without a break;
// every activation starts that wait again and every deactivation disables yes. Escape and the
// window's close button answer no.
#pragma once

#include "bridge/server/UserQuestions.h"

#include <QDialog>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QPushButton;

namespace bridge::app {

// The one wait before yes works, replaceable so that tests run it on a clock of their own.
class ArmTimer {
public:
    virtual ~ArmTimer() = default;
    // Calls `fire` once after `delay`, replacing any wait already running.
    virtual void start(std::chrono::milliseconds delay, std::function<void()> fire) = 0;
    virtual void stop() = 0;
};

class QuestionDialog : public QDialog {
public:
    enum class Outcome { yes, no, unanswered }; // unanswered: timed out or the bridge ending
    static constexpr std::chrono::milliseconds kArmDelay{1000};

    struct Texts {
        const char* title;
        const char* text; // "%1" is the origin
        const char* yes;
        const char* no;
        const char* checkBox; // nullptr: none
    };

    QuestionDialog(const Texts& texts, const QString& origin, int timeoutSeconds, QWidget* parent = nullptr);
    ~QuestionDialog() override;

    // The bridge's two questions, with the texts of DialogTexts.h.
    static QuestionDialog* forApproval(const QString& origin, int timeoutSeconds);
    static QuestionDialog* forDecrypt(const QString& origin, int timeoutSeconds);

    // Replaces the arming wait's timer (a QTimer by default); yes is disabled again.
    void setArmTimer(std::unique_ptr<ArmTimer> timer);

    Outcome outcome() const { return outcome_; }
    bool checked() const;
    // Allow or deny with the check box's choice; nullopt when the user did not answer.
    std::optional<server::ApprovalAnswer> approvalAnswer() const;
    // Ends the dialog without an answer.
    void endUnanswered();

    QPushButton* yesButton() const { return yes_; }
    QPushButton* noButton() const { return no_; }
    QCheckBox* checkBox() const { return checkBox_; }

    void reject() override; // Escape, the close button, the no button

protected:
    bool event(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void disarm();

    QPushButton* yes_ = nullptr;
    QPushButton* no_ = nullptr;
    QCheckBox* checkBox_ = nullptr;
    std::unique_ptr<ArmTimer> armTimer_;
    bool active_ = false;
    Outcome outcome_ = Outcome::unanswered;
};

} // namespace bridge::app
