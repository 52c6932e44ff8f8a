#include "Messages.h"
#include "LangUiFixture.h"
#include "MessagePresenter.h"
#include "QtText.h"

#include <QCursor>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

namespace {

using MessagesTest = LangUiTest;

const char* kStrings = "10000=Token-Verwaltung\n805=Falsche PIN\\nNoch 2 Versuche\n";

TEST_F(MessagesTest, ShowMessageTranslatesTextAndTitle) {
    auto t = translatorWith(kStrings);
    ScriptedPresenter presenter{IDNO, IDYES};
    ScopedMessagePresenter scope(presenter);

    EXPECT_EQ(showMessage(805, "Wrong PIN", MB_YESNO | MB_ICONQUESTION, *t), IDNO);
    EXPECT_EQ(showMessage(806, "Token is removed!", MB_ICONERROR, *t), IDYES);

    const auto& r = presenter.requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].id, 805);
    EXPECT_EQ(r[0].text, "Falsche PIN\nNoch 2 Versuche");
    EXPECT_EQ(r[0].title, "Token-Verwaltung");
    EXPECT_EQ(r[0].flags, MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(r[0].owner, nullptr);
    EXPECT_EQ(r[1].id, 806);
    EXPECT_EQ(r[1].text, "Token is removed!") << "no entry: built-in text";
    EXPECT_EQ(presenter.pendingAnswers(), 0u);
    EXPECT_EQ(presenter.unscripted(), 0u);
}

TEST_F(MessagesTest, ShowTextPassesComposedTextUnchanged) {
    auto t = translatorWith(kStrings);
    ScriptedPresenter presenter;
    ScopedMessagePresenter scope(presenter);

    EXPECT_EQ(showText("805 [0x000000A0]", MB_ICONERROR, *t), IDOK);
    ASSERT_EQ(presenter.requests().size(), 1u);
    const MessageRequest& r = presenter.requests()[0];
    EXPECT_EQ(r.id, -1);
    EXPECT_EQ(r.text, "805 [0x000000A0]");
    EXPECT_EQ(r.title, "Token-Verwaltung");
    EXPECT_EQ(r.flags, MB_ICONERROR);
}

// The import's duplicate question comes while its work shows the wait cursor.
TEST_F(MessagesTest, BoxesShowTheNormalCursorAndTheWaitCursorReturnsAfter) {
    struct CursorPresenter : MessagePresenter {
        std::vector<bool> underOverride;
        int present(const MessageRequest&) override {
            underOverride.push_back(QGuiApplication::overrideCursor() != nullptr);
            return IDYES;
        }
    } presenter;
    ScopedMessagePresenter scope(presenter);
    auto t = noFileTranslator();
    {
        WaitCursor outer;
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
        EXPECT_EQ(showMessageOwned(5033, "The certificate already exists, continue?", MB_YESNO, *t),
                  IDYES);
        showMessage(805, "Wrong PIN", MB_OK, *t);
        showText("805 [0x000000A0]", MB_OK, *t);
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
        QGuiApplication::restoreOverrideCursor();
        ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(presenter.underOverride, (std::vector<bool>{false, false, false}));
}

TEST_F(MessagesTest, BuiltInTitleWithoutFile) {
    auto t = noFileTranslator();
    ScriptedPresenter presenter;
    ScopedMessagePresenter scope(presenter);
    showMessage(805, "Wrong PIN", MB_OK, *t);
    showMessage(807, nullptr, MB_OK, *t);
    ASSERT_EQ(presenter.requests().size(), 2u);
    EXPECT_EQ(presenter.requests()[0].title, "KorvanNG PKI Manager");
    EXPECT_EQ(presenter.requests()[0].text, "Wrong PIN");
    EXPECT_EQ(presenter.requests()[1].text, "") << "a missing default reads as empty";
}

TEST_F(MessagesTest, OwnedMessageTakesActiveWindow) {
    auto t = translatorWith(kStrings);
    ScriptedPresenter presenter{IDOK};
    ScopedMessagePresenter scope(presenter);

    QWidget window;
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_EQ(QApplication::activeWindow(), &window);

    showMessageOwned(805, "Wrong PIN", MB_ICONERROR, *t);
    showMessage(805, "Wrong PIN", MB_ICONERROR, *t);
    ASSERT_EQ(presenter.requests().size(), 2u);
    EXPECT_EQ(presenter.requests()[0].owner, &window);
    EXPECT_EQ(presenter.requests()[0].text, "Falsche PIN\nNoch 2 Versuche");
    EXPECT_EQ(presenter.requests()[1].owner, nullptr) << "showMessage has no owner";
}

TEST_F(MessagesTest, UnscriptedAnswerIsDefaultButtonAndScopeRestores) {
    auto t = noFileTranslator();
    ScriptedPresenter outer;
    ScopedMessagePresenter outerScope(outer);
    {
        ScriptedPresenter inner;
        ScopedMessagePresenter innerScope(inner);
        EXPECT_EQ(showText("Delete?", MB_YESNO | MB_DEFBUTTON2, *t), IDNO);
        EXPECT_EQ(showText("Retry?", MB_RETRYCANCEL, *t), IDRETRY);
        EXPECT_EQ(inner.unscripted(), 2u);
    }
    EXPECT_EQ(&messagePresenter(), &outer);
    showText("after", MB_OK, *t);
    EXPECT_EQ(outer.requests().size(), 1u);
}

TEST_F(MessagesTest, FlagsMapToIconButtonsDefaultAndEscape) {
    using B = QMessageBox::StandardButton;
    struct Case {
        unsigned flags;
        QMessageBox::Icon icon;
        std::vector<std::pair<B, int>> buttons;
        B defaultButton, escapeButton;
    };
    const Case cases[] = {
        {MB_OK, QMessageBox::NoIcon, {{B::Ok, IDOK}}, B::Ok, B::Ok},
        {MB_OK | MB_ICONINFORMATION, QMessageBox::Information, {{B::Ok, IDOK}}, B::Ok, B::Ok},
        {MB_OKCANCEL | MB_ICONEXCLAMATION,
         QMessageBox::Warning,
         {{B::Ok, IDOK}, {B::Cancel, IDCANCEL}},
         B::Ok,
         B::Cancel},
        {MB_ABORTRETRYIGNORE | MB_ICONHAND | MB_DEFBUTTON2,
         QMessageBox::Critical,
         {{B::Abort, IDABORT}, {B::Retry, IDRETRY}, {B::Ignore, IDIGNORE}},
         B::Retry,
         B::NoButton},
        {MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON3,
         QMessageBox::Question,
         {{B::Yes, IDYES}, {B::No, IDNO}, {B::Cancel, IDCANCEL}},
         B::Cancel,
         B::Cancel},
        {MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,
         QMessageBox::Question,
         {{B::Yes, IDYES}, {B::No, IDNO}},
         B::No,
         B::NoButton},
        {MB_RETRYCANCEL | MB_ICONERROR,
         QMessageBox::Critical,
         {{B::Retry, IDRETRY}, {B::Cancel, IDCANCEL}},
         B::Retry,
         B::Cancel},
        // A default beyond the last button, and an unknown button set.
        {MB_YESNO | MB_DEFBUTTON3,
         QMessageBox::NoIcon,
         {{B::Yes, IDYES}, {B::No, IDNO}},
         B::Yes,
         B::NoButton},
        {0xF | 0x50, QMessageBox::NoIcon, {{B::Ok, IDOK}}, B::Ok, B::Ok},
    };
    for (const Case& c : cases) {
        MessageBoxLayout layout = messageBoxLayout(c.flags);
        EXPECT_EQ(layout.icon, c.icon) << std::hex << c.flags;
        std::vector<std::pair<B, int>> buttons;
        for (const auto& b : layout.buttons)
            buttons.emplace_back(b.button, b.answer);
        EXPECT_EQ(buttons, c.buttons) << std::hex << c.flags;
        EXPECT_EQ(layout.defaultButton, c.defaultButton) << std::hex << c.flags;
        EXPECT_EQ(layout.escapeButton, c.escapeButton) << std::hex << c.flags;
    }
}

TEST_F(MessagesTest, RealBoxShowsPlainTextAndAnswersPressedButton) {
    auto t = translatorWith(kStrings);
    QString seenTitle, seenText;
    Qt::TextFormat seenFormat = Qt::AutoText;
    QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
    QPushButton* seenDefault = nullptr;
    QMessageBox::StandardButtons seenButtons;
    // Answer from inside the box's own event loop, as soon as it is up.
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer.stop();
        seenTitle = box->windowTitle();
        seenText = box->text();
        seenFormat = box->textFormat();
        seenIcon = box->icon();
        seenButtons = box->standardButtons();
        seenDefault = box->defaultButton();
        EXPECT_EQ(seenDefault, box->button(QMessageBox::No));
        box->button(QMessageBox::No)->click();
    });
    timer.start(10);

    int answer =
        showText("<b>Delete</b> the certificate?", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, *t);
    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(seenTitle.toStdString(), "Token-Verwaltung");
    EXPECT_EQ(seenText.toStdString(), "<b>Delete</b> the certificate?");
    EXPECT_EQ(seenFormat, Qt::PlainText);
    EXPECT_EQ(seenIcon, QMessageBox::Question);
    EXPECT_EQ(seenButtons, QMessageBox::Yes | QMessageBox::No);
}

} // namespace
