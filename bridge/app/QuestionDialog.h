// A question for the user naming a web origin: a yes button, a no button, optionally a check
// box, and a time limit after which the dialog closes unanswered.
#pragma once

#include "bridge/server/Bridge.h"

#include <QDialog>

#include <optional>

class QCheckBox;
class QPushButton;

namespace bridge::app {

class QuestionDialog : public QDialog {
public:
    enum class Outcome { yes, no, unanswered }; // unanswered: closed, timed out or app quitting

    struct Texts {
        const char* title;
        const char* text; // "%1" is the origin
        const char* yes;
        const char* no;
        const char* checkBox; // nullptr: none
    };

    QuestionDialog(const Texts& texts, const QString& origin, int timeoutSeconds, QWidget* parent = nullptr);

    // The bridge's two questions, with the texts of DialogTexts.h.
    static QuestionDialog* forApproval(const QString& origin, int timeoutSeconds);
    static QuestionDialog* forDecrypt(const QString& origin, int timeoutSeconds);

    Outcome outcome() const { return outcome_; }
    bool checked() const;
    // Allow or deny with the check box's choice; nullopt when the user did not answer.
    std::optional<server::ApprovalAnswer> approvalAnswer() const;

    QPushButton* yesButton() const { return yes_; }
    QPushButton* noButton() const { return no_; }
    QCheckBox* checkBox() const { return checkBox_; }

private:
    QPushButton* yes_ = nullptr;
    QPushButton* no_ = nullptr;
    QCheckBox* checkBox_ = nullptr;
    Outcome outcome_ = Outcome::unanswered;
};

} // namespace bridge::app
