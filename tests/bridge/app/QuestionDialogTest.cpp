#include "bridge/app/DialogTexts.h"
#include "bridge/app/QtQuestions.h"
#include "bridge/app/QuestionDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>

namespace {

using bridge::app::QuestionDialog;

int argc = 1;
char name[] = "bridge_app_dialog_tests";
char* argv[] = {name, nullptr};

class QuestionDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }
};

std::optional<bridge::server::ApprovalAnswer> answerAfter(bool remember, bool allow) {
    std::unique_ptr<QuestionDialog> dialog(QuestionDialog::forApproval(QStringLiteral("https://bank.test"), 0));
    dialog->open();
    dialog->checkBox()->setChecked(remember);
    (allow ? dialog->yesButton() : dialog->noButton())->click();
    EXPECT_FALSE(dialog->isVisible());
    return dialog->approvalAnswer();
}

TEST_F(QuestionDialogTest, ApprovalButtonsAndRememberMapToTheAnswer) {
    for (bool allow : {true, false}) {
        for (bool remember : {true, false}) {
            const auto answer = answerAfter(remember, allow);
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->allow, allow);
            EXPECT_EQ(answer->remember, remember);
        }
    }
}

TEST_F(QuestionDialogTest, ClosedOrTimedOutIsNoAnswerAndEnterDoesNotAllow) {
    std::unique_ptr<QuestionDialog> closed(QuestionDialog::forApproval(QStringLiteral("https://bank.test"), 0));
    closed->open();
    closed->checkBox()->setChecked(true);
    closed->reject(); // Escape or the window's close button
    EXPECT_FALSE(closed->approvalAnswer());
    EXPECT_TRUE(closed->noButton()->isDefault());

    std::unique_ptr<QuestionDialog> late(QuestionDialog::forDecrypt(QStringLiteral("https://bank.test"), 1));
    QSignalSpy finished(late.get(), &QDialog::finished);
    late->open();
    ASSERT_TRUE(finished.wait(3000));
    EXPECT_EQ(late->outcome(), QuestionDialog::Outcome::unanswered);
    EXPECT_EQ(late->checkBox(), nullptr);
}

TEST_F(QuestionDialogTest, TheOriginIsShownAsPlainText) {
    const QString origin = QStringLiteral("https://<b>x</b>.test");
    std::unique_ptr<QuestionDialog> dialog(QuestionDialog::forApproval(origin, 0));
    const auto labels = dialog->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels.front()->textFormat(), Qt::PlainText);
    EXPECT_TRUE(labels.front()->text().contains(origin));
}

// Runs `question` on another thread while this (the GUI) thread turns its event loop; the
// dialog that appears is handed to `answer` from inside its own loop, as a user would click.
template <typename Result>
Result askFromAnotherThread(std::function<Result()> question, std::function<void(QuestionDialog&)> answer) {
    bool answered = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(widget);
            if (!answered && dialog && dialog->isVisible()) {
                answered = true;
                EXPECT_EQ(dialog->thread(), QThread::currentThread());
                answer(*static_cast<QuestionDialog*>(dialog));
            }
        }
    });
    poll.start(10);
    auto result = std::async(std::launch::async, std::move(question));
    while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents();
    EXPECT_TRUE(answered) << "no dialog was shown";
    return result.get();
}

TEST_F(QuestionDialogTest, QuestionsFromAnotherThreadRunOnTheGuiThread) {
    bridge::app::QtQuestions questions(true, 30);
    const auto answer = askFromAnotherThread<std::optional<bridge::server::ApprovalAnswer>>(
        [&] { return questions.askApproval("https://bank.test"); },
        [](QuestionDialog& dialog) {
            dialog.checkBox()->setChecked(true);
            dialog.yesButton()->click();
        });
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->allow);
    EXPECT_TRUE(answer->remember);

    EXPECT_TRUE(askFromAnotherThread<bool>([&] { return questions.confirmDecrypt("https://bank.test"); },
                                           [](QuestionDialog& dialog) { dialog.yesButton()->click(); }));
    EXPECT_FALSE(askFromAnotherThread<bool>([&] { return questions.confirmDecrypt("https://bank.test"); },
                                            [](QuestionDialog& dialog) { dialog.noButton()->click(); }));
}

TEST_F(QuestionDialogTest, ClosingRefusesTheOpenQuestionAndEveryLaterOne) {
    bridge::app::QtQuestions questions(true, 30);
    const auto answer = askFromAnotherThread<std::optional<bridge::server::ApprovalAnswer>>(
        [&] { return questions.askApproval("https://bank.test"); },
        [&](QuestionDialog& dialog) {
            questions.close();
            dialog.yesButton()->click(); // answered too late: the bridge is ending
        });
    EXPECT_FALSE(answer);
    EXPECT_FALSE(questions.askApproval("https://bank.test"));
    EXPECT_FALSE(questions.confirmDecrypt("https://bank.test"));
}

TEST_F(QuestionDialogTest, NoDialogsOffscreenWithoutDisplayOrWhenPreApproved) {
    EXPECT_FALSE(bridge::app::QtQuestions(false, 1).askApproval("https://bank.test"));
    EXPECT_FALSE(bridge::app::QtQuestions(false, 1).confirmDecrypt("https://bank.test"));
    EXPECT_FALSE(bridge::app::dialogsPossible(false, QApplication::platformName(), true)); // offscreen
    EXPECT_TRUE(bridge::app::dialogsPossible(false, QStringLiteral("xcb"), true));
    EXPECT_FALSE(bridge::app::dialogsPossible(true, QStringLiteral("xcb"), true));
    EXPECT_FALSE(bridge::app::dialogsPossible(false, QStringLiteral("wayland"), false));
    EXPECT_FALSE(bridge::app::dialogsPossible(false, QStringLiteral("minimal"), true));
}

} // namespace
