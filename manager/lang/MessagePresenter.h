#pragma once

// The one way a message box reaches the screen. showMessage and its siblings
// compose a request; the current presenter shows it and answers with the id
// of the pressed button (IDOK, IDYES, ...). Tests install their own presenter.

#include <QMessageBox>

#include <deque>
#include <string>
#include <vector>

class QWidget;

struct MessageRequest {
    int id = -1; // the message id; -1 for an already composed text
    std::string text;
    std::string title;
    unsigned flags = 0;
    QWidget* owner = nullptr;
};

class MessagePresenter {
public:
    virtual ~MessagePresenter() = default;
    virtual int present(const MessageRequest& request) = 0;
};

// How a box with the given flags looks: its icon, its buttons in order with
// the answer each one gives, the default button and the button for Escape.
struct MessageBoxLayout {
    struct Button {
        QMessageBox::StandardButton button;
        int answer;
    };
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    std::vector<Button> buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QMessageBox::StandardButton escapeButton = QMessageBox::NoButton;

    int answerFor(QMessageBox::StandardButton button) const;
};
MessageBoxLayout messageBoxLayout(unsigned flags);

// Gives the box the request's title, text, icon and buttons.
void composeMessageBox(QMessageBox& box, const MessageRequest& request);

// Shows a modal QMessageBox with plain text. Answers 0 when there is no
// QApplication to show it in.
class QMessageBoxPresenter : public MessagePresenter {
public:
    int present(const MessageRequest& request) override;
};

// A test double: records every request and answers from a queue. When the
// queue is empty it answers with the box's default button, as pressing Enter
// would, and counts the request as unscripted.
class ScriptedPresenter : public MessagePresenter {
public:
    ScriptedPresenter() = default;
    explicit ScriptedPresenter(std::initializer_list<int> answers) : answers_(answers) {}

    void pushAnswer(int answer) { answers_.push_back(answer); }
    int present(const MessageRequest& request) override;

    const std::vector<MessageRequest>& requests() const { return requests_; }
    std::size_t pendingAnswers() const { return answers_.size(); }
    std::size_t unscripted() const { return unscripted_; }

private:
    std::deque<int> answers_;
    std::vector<MessageRequest> requests_;
    std::size_t unscripted_ = 0;
};

// The presenter in use; the QMessageBox one unless another is installed.
MessagePresenter& messagePresenter();
// Installs a presenter that the caller keeps alive; nullptr restores the default.
void setMessagePresenter(MessagePresenter* presenter);

// Installs a presenter for one scope and restores the previous one after.
class ScopedMessagePresenter {
public:
    explicit ScopedMessagePresenter(MessagePresenter& presenter);
    ~ScopedMessagePresenter();
    ScopedMessagePresenter(const ScopedMessagePresenter&) = delete;
    ScopedMessagePresenter& operator=(const ScopedMessagePresenter&) = delete;

private:
    MessagePresenter* previous_;
};
