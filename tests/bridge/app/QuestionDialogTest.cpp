#include "bridge/app/DialogTexts.h"
#include "bridge/app/QtQuestions.h"
#include "bridge/app/QuestionDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
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

// The arming wait on a clock the test moves by hand.
class ManualClock : public bridge::app::ArmTimer {
public:
    void start(std::chrono::milliseconds delay, std::function<void()> fire) override {
        due_ = now_ + delay;
        fire_ = std::move(fire);
    }
    void stop() override { due_.reset(); }
    void advance(std::chrono::milliseconds step) {
        now_ += step;
        if (due_ && now_ >= *due_) {
            due_.reset();
            fire_();
        }
    }

private:
    std::chrono::milliseconds now_{0};
    std::optional<std::chrono::milliseconds> due_;
    std::function<void()> fire_;
};

ManualClock& manualClock(QuestionDialog& dialog) {
    auto clock = std::make_unique<ManualClock>();
    ManualClock& kept = *clock;
    dialog.setArmTimer(std::move(clock));
    return kept;
}

void send(QuestionDialog& dialog, QEvent::Type type) {
    QEvent event(type);
    QCoreApplication::sendEvent(&dialog, &event);
}

// As a user would find it: shown, in front, and long enough for yes to work.
void armed(QuestionDialog& dialog) {
    ManualClock& clock = manualClock(dialog);
    if (!dialog.isVisible())
        dialog.open();
    send(dialog, QEvent::WindowActivate);
    clock.advance(QuestionDialog::kArmDelay);
}

std::unique_ptr<QuestionDialog> approvalDialog() {
    return std::unique_ptr<QuestionDialog>(QuestionDialog::forApproval(QStringLiteral("https://bank.test"), 0));
}

TEST_F(QuestionDialogTest, ApprovalButtonsAndRememberMapToTheAnswer) {
    for (bool allow : {true, false}) {
        for (bool remember : {true, false}) {
            auto dialog = approvalDialog();
            armed(*dialog);
            dialog->checkBox()->setChecked(remember);
            (allow ? dialog->yesButton() : dialog->noButton())->click();
            EXPECT_FALSE(dialog->isVisible());
            const auto answer = dialog->approvalAnswer();
            ASSERT_TRUE(answer);
            EXPECT_EQ(answer->allow, allow);
            EXPECT_EQ(answer->remember, remember);
        }
    }
}

TEST_F(QuestionDialogTest, AllowWorksOnlyAfterASecondInFrontWithoutABreak) {
    auto dialog = approvalDialog();
    ManualClock& clock = manualClock(*dialog);
    dialog->open();
    send(*dialog, QEvent::WindowActivate);
    // A click aimed at the page, landing 0.15 s after the dialog appeared.
    clock.advance(std::chrono::milliseconds(150));
    dialog->yesButton()->click();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->approvalAnswer());

    // Losing focus disables it; regaining focus starts the whole wait again.
    clock.advance(std::chrono::milliseconds(800));
    send(*dialog, QEvent::WindowDeactivate);
    clock.advance(std::chrono::milliseconds(500));
    EXPECT_FALSE(dialog->yesButton()->isEnabled()) << "the wait does not run while in the background";
    send(*dialog, QEvent::WindowActivate);
    clock.advance(std::chrono::milliseconds(999));
    EXPECT_FALSE(dialog->yesButton()->isEnabled());
    clock.advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(dialog->yesButton()->isEnabled());
    send(*dialog, QEvent::WindowDeactivate);
    EXPECT_FALSE(dialog->yesButton()->isEnabled()) << "armed, then in the background again";
    send(*dialog, QEvent::WindowActivate);
    dialog->yesButton()->click();
    EXPECT_FALSE(dialog->approvalAnswer());

    // In front without having been shown does not count.
    auto hidden = approvalDialog();
    ManualClock& hiddenClock = manualClock(*hidden);
    send(*hidden, QEvent::WindowActivate);
    hiddenClock.advance(QuestionDialog::kArmDelay);
    EXPECT_FALSE(hidden->yesButton()->isEnabled());
}

TEST_F(QuestionDialogTest, EscapeAndClosingDenyTimingOutIsNoAnswerAndEnterDoesNotAllow) {
    auto escaped = approvalDialog();
    armed(*escaped);
    escaped->checkBox()->setChecked(true);
    QTest::keyClick(escaped.get(), Qt::Key_Escape);
    EXPECT_FALSE(escaped->isVisible());
    ASSERT_TRUE(escaped->approvalAnswer());
    EXPECT_FALSE(escaped->approvalAnswer()->allow);
    EXPECT_TRUE(escaped->approvalAnswer()->remember) << "as the Deny button with the box ticked";

    auto closed = approvalDialog();
    armed(*closed);
    closed->close();
    EXPECT_EQ(closed->outcome(), QuestionDialog::Outcome::no);

    auto entered = approvalDialog();
    armed(*entered);
    QTest::keyClick(entered.get(), Qt::Key_Return);
    EXPECT_EQ(entered->outcome(), QuestionDialog::Outcome::no);

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
            armed(dialog);
            dialog.checkBox()->setChecked(true);
            dialog.yesButton()->click();
        });
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->allow);
    EXPECT_TRUE(answer->remember);

    EXPECT_TRUE(askFromAnotherThread<bool>([&] { return questions.confirmDecrypt("https://bank.test"); },
                                           [](QuestionDialog& dialog) {
                                               armed(dialog);
                                               dialog.yesButton()->click();
                                           }));
    EXPECT_FALSE(askFromAnotherThread<bool>([&] { return questions.confirmDecrypt("https://bank.test"); },
                                            [](QuestionDialog& dialog) { dialog.noButton()->click(); }));
}

TEST_F(QuestionDialogTest, ClosingRefusesTheOpenQuestionAndEveryLaterOne) {
    bridge::app::QtQuestions questions(true, 30);
    const auto answer = askFromAnotherThread<std::optional<bridge::server::ApprovalAnswer>>(
        [&] { return questions.askApproval("https://bank.test"); },
        [&](QuestionDialog& dialog) {
            armed(dialog);
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
