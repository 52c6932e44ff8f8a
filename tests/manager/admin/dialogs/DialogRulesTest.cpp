// What the dialogs show and allow before anything reaches the token: labels
// with the token's PIN bounds, edit limits, the OK rules at their
// boundaries, numeric field validation and translation.

// Ahead of every Qt header: AdminContext has a member named like a Qt macro.
#include "DialogFakeFixture.h"

#include "ChangeTokenNameDlg.h"
#include "InitTokenDlg.h"
#include "LoginDlg.h"
#include "PinDialogs.h"
#include "Translator.h"

#include <QGroupBox>
#include <QLabel>

#include <filesystem>
#include <fstream>

namespace {

QString labelText(QWidget* dialog, int id) {
    QLabel* label = control<QLabel>(dialog, id);
    return label != nullptr ? label->text() : QString();
}

bool okEnabled(QWidget* dialog) {
    return button(dialog, 1)->isEnabled();
}

using DialogRulesTest = DialogFakeTest;

TEST_F(DialogRulesTest, LoginNeedsTheMinimumInBytes) {
    startWithToken();
    CLoginDlg dialog(1);
    dialog.show();
    QLineEdit* pin = edit(&dialog, 1011);
    EXPECT_EQ(pin->echoMode(), QLineEdit::Password);
    EXPECT_EQ(pin->maxLength(), 16);
    QPushButton* login = button(&dialog, 310);
    EXPECT_FALSE(login->isEnabled());
    type(&dialog, 1011, "abc");
    EXPECT_FALSE(login->isEnabled());
    type(&dialog, 1011, "abcd");
    EXPECT_TRUE(login->isEnabled());
    // Two characters, four bytes.
    type(&dialog, 1011, QString::fromUtf8("\xC3\xA9\xC3\xA9"));
    EXPECT_TRUE(login->isEnabled());
}

TEST_F(DialogRulesTest, WithoutSlotEntryBoundsAreZero) {
    startWithToken();
    CLoginDlg login(7);
    login.show();
    EXPECT_TRUE(button(&login, 310)->isEnabled());
    // No maximum from the token: the manager's own PIN limit.
    EXPECT_EQ(edit(&login, 1011)->maxLength(), int(kMaxPinBytes));

    CChangeUserPinDlg change(7);
    change.show();
    EXPECT_EQ(labelText(&change, 811), "New User PIN (0 to 0 characters):");
    EXPECT_TRUE(okEnabled(&change));
}

TEST_F(DialogRulesTest, PinLabelsCarryTheTokenBounds) {
    startWithToken();
    CChangeUserPinDlg change(1);
    change.show();
    EXPECT_EQ(labelText(&change, 811), "New User PIN (4 to 16 characters):");
    CUnblockTokenDlg unblock(1);
    unblock.show();
    EXPECT_EQ(labelText(&unblock, 841), "New User PIN(4 to 16 characters):");
    CChangeSoPinDlg so(1);
    so.show();
    EXPECT_EQ(labelText(&so, 831), "New SO PIN(4 to 16 characters):");
    CInitTokenDlg init(1);
    init.show();
    EXPECT_EQ(labelText(&init, 850), "Set SO PIN(4 to 16 characters):");
    EXPECT_EQ(labelText(&init, 851), "Set User PIN(4 to 16 characters):");

    for (QWidget* dialog : std::initializer_list<QWidget*>{&change, &unblock, &so})
        for (QLineEdit* field : dialog->findChildren<QLineEdit*>()) {
            EXPECT_EQ(field->echoMode(), QLineEdit::Password);
            EXPECT_EQ(field->maxLength(), 16);
        }
    EXPECT_EQ(edit(&init, 1010)->maxLength(), 16);
    EXPECT_EQ(edit(&init, 1006)->echoMode(), QLineEdit::Password);
    EXPECT_EQ(edit(&init, 1009)->echoMode(), QLineEdit::Normal);
}

TEST_F(DialogRulesTest, PinChangeNeedsMatchingConfirmationAndMinimum) {
    startWithToken();
    CChangeUserPinDlg dialog(1);
    dialog.show();
    EXPECT_FALSE(okEnabled(&dialog));
    type(&dialog, 1028, "1234");
    type(&dialog, 1029, "567");
    type(&dialog, 1012, "567");
    EXPECT_FALSE(okEnabled(&dialog)) << "new PIN below the minimum";
    type(&dialog, 1029, "5678");
    type(&dialog, 1012, "5679");
    EXPECT_FALSE(okEnabled(&dialog)) << "confirmation differs in one character";
    type(&dialog, 1012, "5678");
    EXPECT_TRUE(okEnabled(&dialog));
    type(&dialog, 1028, "123");
    EXPECT_FALSE(okEnabled(&dialog)) << "old PIN below the minimum";
}

TEST_F(DialogRulesTest, UnblockAndSoChangeRules) {
    startWithToken();
    CUnblockTokenDlg unblock(1);
    unblock.show();
    type(&unblock, 1010, "12345678");
    type(&unblock, 1012, "abcd");
    EXPECT_FALSE(okEnabled(&unblock));
    // The new PIN edited last still enables OK once it equals the confirmation.
    type(&unblock, 1029, "abcd");
    EXPECT_TRUE(okEnabled(&unblock));
    type(&unblock, 1010, "123");
    EXPECT_FALSE(okEnabled(&unblock));

    CChangeSoPinDlg so(1);
    so.show();
    type(&so, 1005, "12345678");
    type(&so, 1006, "87654321");
    type(&so, 1007, "8765432");
    EXPECT_FALSE(okEnabled(&so));
    type(&so, 1007, "87654321");
    EXPECT_TRUE(okEnabled(&so));
}

class InitRulesTest : public DialogRulesTest {
protected:
    void SetUp() override {
        DialogRulesTest::SetUp();
        startWithToken();
        dialog = std::make_unique<CInitTokenDlg>(1);
        dialog->show();
        type(dialog.get(), 1010, "12345678");
        type(dialog.get(), 1006, "1234");
        type(dialog.get(), CInitTokenDlg::kCurrentSoPinControlId, "11111111");
    }
    void TearDown() override {
        dialog.reset();
        DialogRulesTest::TearDown();
    }
    std::unique_ptr<CInitTokenDlg> dialog;
};

TEST_F(InitRulesTest, OpensWithTheTokenValues) {
    EXPECT_EQ(edit(dialog.get(), 1009)->text(), "ABCDEFG");
    EXPECT_EQ(edit(dialog.get(), 1099)->text(), "32000");
    EXPECT_EQ(edit(dialog.get(), 1101)->text(), "30000");
    EXPECT_TRUE(okEnabled(dialog.get()));
}

TEST_F(InitRulesTest, CountsBelowFifteenAndSizesBelow64000) {
    for (int id : {1098, 1100}) {
        type(dialog.get(), id, "15");
        EXPECT_EQ(edit(dialog.get(), id)->text(), "15");
        EXPECT_FALSE(okEnabled(dialog.get())) << id;
        type(dialog.get(), id, "14");
        EXPECT_TRUE(okEnabled(dialog.get())) << id;
    }
    for (int id : {1099, 1101}) {
        type(dialog.get(), id, "64000");
        EXPECT_FALSE(okEnabled(dialog.get())) << id;
        type(dialog.get(), id, "63999");
        EXPECT_TRUE(okEnabled(dialog.get())) << id;
    }
    type(dialog.get(), 1098, "");
    EXPECT_FALSE(okEnabled(dialog.get())) << "an empty count cannot be read";
}

TEST_F(InitRulesTest, NameAndPinsRequired) {
    type(dialog.get(), 1009, "");
    EXPECT_FALSE(okEnabled(dialog.get()));
    type(dialog.get(), 1009, QString(33, u'n'));
    EXPECT_EQ(edit(dialog.get(), 1009)->text(), QString(32, u'n'));
    EXPECT_TRUE(okEnabled(dialog.get()));
    type(dialog.get(), 1006, "123");
    EXPECT_FALSE(okEnabled(dialog.get()));
    type(dialog.get(), 1006, "1234");
    type(dialog.get(), 1010, "123");
    EXPECT_FALSE(okEnabled(dialog.get()));
    type(dialog.get(), 1010, "1234");
    // The current SO PIN of the initialized token, held to the same minimum.
    type(dialog.get(), CInitTokenDlg::kCurrentSoPinControlId, "123");
    EXPECT_FALSE(okEnabled(dialog.get()));
    type(dialog.get(), CInitTokenDlg::kCurrentSoPinControlId, "1234");
    EXPECT_TRUE(okEnabled(dialog.get()));

    // A token never initialized has no SO PIN to ask for.
    fake().slotMap[1].tokenFlags = CKF_LOGIN_REQUIRED;
    CInitTokenDlg fresh(1);
    fresh.show();
    for (QLineEdit* edit : fresh.findChildren<QLineEdit*>())
        EXPECT_NE(controlId(edit), CInitTokenDlg::kCurrentSoPinControlId);
}

TEST_F(InitRulesTest, NumericFieldsRefuseLettersAndOutOfRangeValues) {
    type(dialog.get(), 1098, "1x");
    EXPECT_EQ(edit(dialog.get(), 1098)->text(), "1");
    EXPECT_TRUE(presenter.requests().empty()) << "letters are refused without a message";

    type(dialog.get(), 1100, "16");
    EXPECT_EQ(edit(dialog.get(), 1100)->text(), "1");
    QCoreApplication::processEvents();
    ASSERT_EQ(presenter.requests().size(), 1u);
    EXPECT_EQ(presenter.requests()[0].text, "Please enter an integer between 0 and 15.");

    type(dialog.get(), 1099, "64001");
    EXPECT_EQ(edit(dialog.get(), 1099)->text(), "6400");
    QCoreApplication::processEvents();
    ASSERT_EQ(presenter.requests().size(), 2u);
    EXPECT_EQ(presenter.requests()[1].text, "Please enter an integer between 0 and 64000.");
}

TEST_F(InitRulesTest, PinErrorCountsFromTheToken) {
    // The fixture's dialog read 0 and 0 from a zeroed record.
    EXPECT_EQ(edit(dialog.get(), 1098)->text(), "0");
    admin().pinErrorCounts.soPinErrorCount = 3;
    admin().pinErrorCounts.reserved1 = 9;
    admin().pinErrorCounts.userPinErrorCount = 5;
    CInitTokenDlg read(1);
    read.show();
    EXPECT_EQ(edit(&read, 1098)->text(), "3");
    EXPECT_EQ(edit(&read, 1100)->text(), "5");

    admin().pinErrorCountsResult = CKR_FUNCTION_FAILED;
    CInitTokenDlg failed(1);
    failed.show();
    EXPECT_EQ(edit(&failed, 1098)->text(), "6");
    EXPECT_EQ(edit(&failed, 1100)->text(), "6");
}

// Values above the fields' limits are shown whole, never cut to the digit
// count; they keep OK disabled until the user types a value in range.
TEST_F(InitRulesTest, TokenValuesOutOfRangeShowWholeAndKeepOkDisabled) {
    fake().slotMap[1].numbers[8] = 131072; // total private memory
    ASSERT_TRUE(entry()->refreshTokenInfo());
    admin().pinErrorCounts.userPinErrorCount = 100;
    CInitTokenDlg read(1);
    read.show();
    type(&read, 1010, "12345678");
    type(&read, 1006, "1234");
    type(&read, CInitTokenDlg::kCurrentSoPinControlId, "11111111");
    EXPECT_EQ(edit(&read, 1101)->text(), "131072");
    EXPECT_EQ(edit(&read, 1100)->text(), "100");
    EXPECT_FALSE(okEnabled(&read));
    // Shortening towards the range is allowed, and still out of range.
    QTest::keyClick(edit(&read, 1100), Qt::Key_End);
    QTest::keyClick(edit(&read, 1100), Qt::Key_Backspace);
    EXPECT_EQ(edit(&read, 1100)->text(), "10");
    EXPECT_FALSE(okEnabled(&read));
    type(&read, 1100, "5");
    EXPECT_FALSE(okEnabled(&read));
    type(&read, 1101, "30000");
    EXPECT_TRUE(okEnabled(&read));
    QCoreApplication::processEvents();
    EXPECT_TRUE(presenter.requests().empty()) << "loading shows no range message";
}

TEST_F(DialogRulesTest, RenameNeedsOneTo32Bytes) {
    startWithToken();
    CChangeTokenNameDlg dialog(1);
    dialog.show();
    EXPECT_EQ(labelText(&dialog, 1008), "ABCDEFG");
    EXPECT_EQ(edit(&dialog, 1009)->text(), "ABCDEFG");
    EXPECT_TRUE(okEnabled(&dialog));
    type(&dialog, 1009, "");
    EXPECT_FALSE(okEnabled(&dialog));
    type(&dialog, 1009, QString(33, u'x'));
    EXPECT_EQ(edit(&dialog, 1009)->text().size(), 32);
    EXPECT_TRUE(okEnabled(&dialog));
    // Seventeen characters, 34 bytes.
    type(&dialog, 1009, QString(17, QChar(0xE9)));
    EXPECT_FALSE(okEnabled(&dialog));
}

// A token label is the token's text, never markup for the label to render.
TEST_F(DialogRulesTest, RenameShowsTheOldNameAsPlainText) {
    FakeSlot slot = tokenSlot();
    slot.label = "<b>Key</b>";
    startWithToken(slot);
    CChangeTokenNameDlg dialog(1);
    dialog.show();
    QLabel* oldName = control<QLabel>(&dialog, 1008);
    ASSERT_NE(oldName, nullptr);
    EXPECT_EQ(oldName->text(), "<b>Key</b>");
    EXPECT_EQ(oldName->textFormat(), Qt::PlainText);
}

TEST_F(DialogRulesTest, RenameWithoutEntryKeepsTheTemplateTexts) {
    startWithToken();
    CChangeTokenNameDlg dialog(7);
    dialog.show();
    EXPECT_EQ(labelText(&dialog, 1008), "Token Name");
    EXPECT_EQ(edit(&dialog, 1009)->text(), "");
    EXPECT_FALSE(okEnabled(&dialog));
}

TEST_F(DialogRulesTest, DialogsAreTranslatedWhenTheyOpen) {
    startWithToken();
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("korvan-admin-dialogs-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "test.lng") << "[settings]\nCodePage=1031\nLanguage=Test\n[strings]\n"
                                    << "138=Anmeldung\n800=Benutzer-PIN:\n310=&Anmelden\n"
                                    << "2=Abbrechen\n1=Gut\n130=PIN wechseln\n"
                                    << "811=Neue PIN (%d bis %d Zeichen):\n"
                                    << "1102=Fehlversuche:\n136=Initialisieren\n"
                                    << "850=SO-PIN %d-%d:\n"
                                    << "856=Eine Zahl von %d bis %d.\n";
    Translator& translator = Translator::instance();
    ASSERT_TRUE(translator.loadFile((dir / "test.lng").string()));

    CLoginDlg login(1);
    EXPECT_EQ(login.windowTitle(), "Cert Manager Login") << "nothing is translated before opening";
    login.show();
    EXPECT_EQ(login.windowTitle(), "Anmeldung");
    EXPECT_EQ(labelText(&login, 800), "Benutzer-PIN:");
    EXPECT_EQ(button(&login, 310)->text(), "&Anmelden");
    EXPECT_EQ(button(&login, 2)->text(), "Abbrechen");

    CChangeUserPinDlg change(1);
    change.show();
    EXPECT_EQ(change.windowTitle(), "PIN wechseln");
    EXPECT_EQ(labelText(&change, 811), "Neue PIN (4 bis 16 Zeichen):");
    EXPECT_EQ(button(&change, 1)->text(), "Gut");
    EXPECT_EQ(labelText(&change, 812), "Confirm User PIN:");

    CInitTokenDlg init(1);
    init.show();
    EXPECT_EQ(init.windowTitle(), "Initialisieren");
    EXPECT_EQ(control<QGroupBox>(&init, 1102)->title(), "Fehlversuche:");
    EXPECT_EQ(labelText(&init, 850), "SO-PIN 4-16:");
    EXPECT_EQ(integerRangeMessage(0, 15), "Eine Zahl von 0 bis 15.");

    // Back to the built-in texts for whatever runs next in this process.
    std::ofstream(dir / "empty.lng") << "[settings]\nCodePage=1033\nLanguage=English\n[strings]\n";
    translator.loadFile((dir / "empty.lng").string());
    std::filesystem::remove_all(dir);
}

TEST_F(DialogRulesTest, FormsHaveTheirTemplateSizesAndCaptions) {
    startWithToken();
    struct Expected {
        std::unique_ptr<QDialog> dialog;
        const char* caption;
        int width, height; // dialog units
    };
    Expected forms[] = {
        {std::make_unique<CLoginDlg>(1), "Cert Manager Login", 178, 62},
        {std::make_unique<CChangeUserPinDlg>(1), "Change User PIN", 171, 129},
        {std::make_unique<CUnblockTokenDlg>(1), "Unblock Token", 170, 121},
        {std::make_unique<CInitTokenDlg>(1), "Init Token", 271, 252},
        {std::make_unique<CChangeSoPinDlg>(1), "Change SO PIN", 174, 137},
        {std::make_unique<CChangeTokenNameDlg>(1), "Change Token Name", 194, 96},
    };
    for (Expected& form : forms) {
        EXPECT_EQ(form.dialog->windowTitle(), form.caption);
        EXPECT_NEAR(form.dialog->width(), form.width * 1.5, 1) << form.caption;
        EXPECT_NEAR(form.dialog->height(), form.height * 1.625, 1) << form.caption;
        for (QWidget* child : form.dialog->findChildren<QWidget*>()) {
            if (controlId(child) != 0) {
                EXPECT_TRUE(form.dialog->rect().contains(child->geometry()))
                    << form.caption << " control " << controlId(child);
            }
        }
    }
}

} // namespace
