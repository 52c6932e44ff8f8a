// Pressing OK over the fake tables: the ends of the modal run, what the
// dialogs report afterwards, the locked buttons and wait cursor while the
// token works, and the cases a real token rarely produces.

// Ahead of every Qt header: AdminContext has a member named like a Qt macro.
#include "DialogFakeFixture.h"

#include "ChangeTokenNameDlg.h"
#include "DialogAdminOperations.h"
#include "InitTokenDlg.h"
#include "LoginDlg.h"
#include "MessageFlags.h"
#include "PinDialogs.h"

namespace {

using DialogOperationTest = DialogFakeTest;

// What the buttons and the cursor looked like while C_Login ran.
struct DuringCall {
    bool cursorWasWait = false;
    std::vector<bool> buttonsEnabled;
};
DuringCall during;
std::vector<QPushButton*> watchedButtons;
CK_RV (*scriptedLogin)(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG);

CK_RV watchingLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                    CK_ULONG length) {
    const QCursor* cursor = QApplication::overrideCursor();
    during.cursorWasWait = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
    during.buttonsEnabled.clear();
    for (QPushButton* b : watchedButtons)
        during.buttonsEnabled.push_back(b->isEnabled());
    return scriptedLogin(session, user, pin, length);
}

void watchLogin(std::vector<QPushButton*> buttons) {
    during = {};
    watchedButtons = std::move(buttons);
    scriptedLogin = FakeSlotLibrary::current().functions.C_Login;
    FakeSlotLibrary::current().functions.C_Login = watchingLogin;
}

TEST_F(DialogOperationTest, LoginLocksButtonsAndShowsWaitCursorWhileWorking) {
    startWithToken();
    CLoginDlg dialog(1);
    dialog.show();
    watchLogin({button(&dialog, 310), button(&dialog, 2)});
    type(&dialog, 1011, "1234");
    whenModal<CLoginDlg>([](CLoginDlg* d) { button(d, 310)->click(); });
    EXPECT_EQ(dialog.exec(), IDOK);
    EXPECT_TRUE(dialog.isLoggedIn());
    EXPECT_TRUE(during.cursorWasWait);
    EXPECT_EQ(during.buttonsEnabled, (std::vector<bool>{false, false}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(entry()->loggedIn);
    EXPECT_EQ(admin().pins, std::vector<std::string>{"1234"});
    EXPECT_EQ(edit(&dialog, 1011)->text(), "") << "the PIN does not outlive the dialog";
}

TEST_F(DialogOperationTest, FailedLoginEndsWithCancel) {
    startWithToken();
    fake().loginResult = CKR_PIN_INCORRECT;
    CLoginDlg dialog(1);
    whenModal<CLoginDlg>([](CLoginDlg* d) {
        type(d, 1011, "9999");
        button(d, 310)->click();
    });
    EXPECT_EQ(dialog.exec(), IDCANCEL);
    EXPECT_FALSE(dialog.isLoggedIn());
    EXPECT_EQ(messageIds(presenter), std::vector<int>{805});
    EXPECT_EQ(presenter.requests()[0].flags, MB_ICONERROR);
}

TEST_F(DialogOperationTest, PinDialogLocksButtonsAndReportsTouchedAfterFailure) {
    startWithToken();
    fake().loginResult = CKR_PIN_INCORRECT;
    CChangeUserPinDlg dialog(1);
    dialog.show();
    watchLogin({button(&dialog, 1), button(&dialog, 2)});
    type(&dialog, 1028, "0000");
    type(&dialog, 1029, "5678");
    type(&dialog, 1012, "5678");
    whenModal<CChangeUserPinDlg>([](CChangeUserPinDlg* d) { button(d, 1)->click(); });
    EXPECT_EQ(dialog.exec(), IDCANCEL);
    EXPECT_TRUE(during.cursorWasWait);
    EXPECT_EQ(during.buttonsEnabled, (std::vector<bool>{false, false}));
    EXPECT_TRUE(dialog.tokenTouched());
    EXPECT_FALSE(dialog.succeeded());
    SecurePin pin("stale");
    EXPECT_FALSE(dialog.result(pin));
    EXPECT_EQ(pin.view(), "");
}

TEST_F(DialogOperationTest, SuccessfulChangeHandsOverTheNewPin) {
    startWithToken();
    CChangeUserPinDlg dialog(1);
    whenModal<CChangeUserPinDlg>([](CChangeUserPinDlg* d) {
        type(d, 1028, "1234");
        type(d, 1029, "5678");
        type(d, 1012, "5678");
        button(d, 1)->click();
    });
    EXPECT_EQ(dialog.exec(), IDOK);
    SecurePin pin;
    EXPECT_TRUE(dialog.result(pin));
    EXPECT_EQ(pin.view(), "5678");
    EXPECT_EQ(messageIds(presenter), std::vector<int>{814});
    EXPECT_EQ(presenter.requests()[0].flags, MB_ICONINFORMATION);
    for (QLineEdit* field : dialog.findChildren<QLineEdit*>())
        EXPECT_EQ(field->text(), "");
}

TEST_F(DialogOperationTest, CancelLeavesEverythingUntouched) {
    startWithToken();
    CUnblockTokenDlg unblock(1);
    whenModal<CUnblockTokenDlg>([](CUnblockTokenDlg* d) {
        type(d, 1010, "12345678");
        button(d, 2)->click();
    });
    EXPECT_EQ(unblock.exec(), IDCANCEL);
    SecurePin pin("stale");
    EXPECT_FALSE(unblock.result(pin));
    EXPECT_EQ(pin.view(), "");
    EXPECT_FALSE(unblock.tokenTouched());
    EXPECT_TRUE(admin().calls.empty());

    CInitTokenDlg init(1);
    whenModal<CInitTokenDlg>([](CInitTokenDlg* d) { d->reject(); });
    EXPECT_EQ(init.exec(), IDCANCEL);
    std::string name = "stale";
    EXPECT_FALSE(init.result(name, pin));
    EXPECT_EQ(name, "");
    EXPECT_FALSE(init.tokenTouched());
    EXPECT_EQ(admin().calls, (std::vector<std::string>{"E_GetPinErrorCounts", "C_GetTokenInfo"}));
}

// Pulls the token out between opening the dialog and pressing OK.
void pullToken() {
    SlotManager::instance().findSlot(1)->tokenPresent = false;
}

TEST_F(DialogOperationTest, RemovedTokenAtOkEndsWithOkAndChangesNothing) {
    startWithToken();
    CLoginDlg login(1);
    whenModal<CLoginDlg>([](CLoginDlg* d) {
        type(d, 1011, "1234");
        pullToken();
        button(d, 310)->click();
    });
    EXPECT_EQ(login.exec(), IDOK);
    EXPECT_FALSE(login.isLoggedIn());

    entry()->tokenPresent = true;
    CChangeSoPinDlg so(1);
    whenModal<CChangeSoPinDlg>([](CChangeSoPinDlg* d) {
        type(d, 1005, "12345678");
        type(d, 1006, "87654321");
        type(d, 1007, "87654321");
        pullToken();
        button(d, 1)->click();
    });
    EXPECT_EQ(so.exec(), IDOK);
    EXPECT_FALSE(so.succeeded());

    entry()->tokenPresent = true;
    CInitTokenDlg init(1);
    whenModal<CInitTokenDlg>([](CInitTokenDlg* d) {
        type(d, 1010, "12345678");
        type(d, 1006, "1234");
        type(d, CInitTokenDlg::kCurrentSoPinControlId, "11111111");
        pullToken();
        button(d, 1)->click();
    });
    EXPECT_EQ(init.exec(), IDOK);
    std::string name;
    SecurePin pin;
    EXPECT_FALSE(init.result(name, pin));

    entry()->tokenPresent = true;
    CChangeTokenNameDlg rename(1);
    whenModal<CChangeTokenNameDlg>([](CChangeTokenNameDlg* d) {
        type(d, 1009, "Other");
        pullToken();
        button(d, 1)->click();
    });
    EXPECT_EQ(rename.exec(), IDOK);
    EXPECT_FALSE(rename.result(name));
    // The rename writes first and asks about the token after; a pulled
    // token refuses the write, so the cached label stays.
    EXPECT_EQ(fake().setLabelCalls, std::vector<std::string>{"Other"});
    EXPECT_EQ(entry()->tokenLabel(), "ABCDEFG");

    EXPECT_EQ(messageIds(presenter), (std::vector<int>{5020, 5020, 5020, 5020}));
    for (const MessageRequest& request : presenter.requests()) {
        EXPECT_EQ(request.text, "Token is removed!");
        EXPECT_EQ(request.flags, MB_ICONERROR);
    }
    // Only the error counts read when the init dialog opened reached the token.
    EXPECT_EQ(admin().calls, (std::vector<std::string>{"E_GetPinErrorCounts", "C_GetTokenInfo"}));
    EXPECT_FALSE(entry()->loggedIn);
}

TEST_F(DialogOperationTest, InitHandsTheFieldsToTheToken) {
    startWithToken();
    CInitTokenDlg dialog(1);
    presenter.pushAnswer(IDOK); // the erase question
    whenModal<CInitTokenDlg>([](CInitTokenDlg* d) {
        type(d, CInitTokenDlg::kCurrentSoPinControlId, "11111111");
        type(d, 1010, "87654321");
        type(d, 1006, "4321");
        type(d, 1009, "Fresh");
        type(d, 1098, "3");
        type(d, 1100, "14");
        type(d, 1099, "63999");
        type(d, 1101, "0");
        button(d, 1)->click();
    });
    EXPECT_EQ(dialog.exec(), IDOK);
    std::string name;
    SecurePin pin;
    EXPECT_TRUE(dialog.result(name, pin));
    EXPECT_EQ(name, "Fresh");
    EXPECT_EQ(pin.view(), "4321");
    EXPECT_EQ(admin().initLabel, "Fresh");
    EXPECT_EQ(admin().initSoPin, "87654321");
    EXPECT_EQ(admin().initUserPin, "4321");
    ASSERT_EQ(admin().initRecord.size(), sizeof(TokenInitParams));
    TokenInitParams params;
    std::memcpy(&params, admin().initRecord.data(), sizeof params);
    EXPECT_EQ(params.soPinErrorCount, 3);
    EXPECT_EQ(params.userPinErrorCount, 14);
    EXPECT_EQ(std::uint32_t{params.publicMemorySize}, 63999u);
    EXPECT_EQ(std::uint32_t{params.privateMemorySize}, 0u);
    EXPECT_EQ(messageIds(presenter), (std::vector<int>{-1, 855}));
    EXPECT_EQ(admin().pins, std::vector<std::string>{"11111111"}); // the SO login's PIN
}

// The attack: Init Token pressed at someone else's desk. A wrong current SO
// PIN ends the dialog with the SO PIN's message; Cancel to the question,
// the default, keeps the dialog open; neither erases the token.
TEST_F(DialogOperationTest, InitNeedsTheCurrentSoPinAndAnOkToTheQuestion) {
    startWithToken();
    fake().loginResult = CKR_PIN_INCORRECT;
    CInitTokenDlg wrong(1);
    whenModal<CInitTokenDlg>([](CInitTokenDlg* d) {
        type(d, CInitTokenDlg::kCurrentSoPinControlId, "00000000");
        type(d, 1010, "87654321");
        type(d, 1006, "4321");
        button(d, 1)->click();
    });
    EXPECT_EQ(wrong.exec(), IDCANCEL);
    EXPECT_FALSE(wrong.succeeded());
    EXPECT_EQ(messageIds(presenter), std::vector<int>{839});

    fake().loginResult = CKR_OK;
    CInitTokenDlg declined(1);
    bool stayedOpen = false;
    whenModal<CInitTokenDlg>([&stayedOpen](CInitTokenDlg* d) {
        type(d, CInitTokenDlg::kCurrentSoPinControlId, "11111111");
        type(d, 1010, "87654321");
        type(d, 1006, "4321");
        button(d, 1)->click(); // unscripted: the default button, Cancel
        stayedOpen = d->isVisible() && button(d, 1)->isEnabled();
        button(d, 2)->click();
    });
    EXPECT_EQ(declined.exec(), IDCANCEL);
    EXPECT_TRUE(stayedOpen);
    EXPECT_FALSE(declined.succeeded());
    ASSERT_EQ(presenter.requests().size(), 2u);
    EXPECT_EQ(presenter.requests()[1].flags, MB_OKCANCEL | MB_ICONWARNING | MB_DEFBUTTON2);
    EXPECT_TRUE(admin().initRecord.empty());
}

TEST_F(DialogOperationTest, RefusedInitEndsWithCancelAndTouched) {
    startWithToken();
    admin().initTokenResult = CKR_PIN_LEN_RANGE;
    CInitTokenDlg dialog(1);
    presenter.pushAnswer(IDOK); // the erase question
    whenModal<CInitTokenDlg>([](CInitTokenDlg* d) {
        type(d, CInitTokenDlg::kCurrentSoPinControlId, "11111111");
        type(d, 1010, "87654321");
        type(d, 1006, "4321");
        button(d, 1)->click();
    });
    EXPECT_EQ(dialog.exec(), IDCANCEL);
    EXPECT_TRUE(dialog.tokenTouched());
    EXPECT_FALSE(dialog.succeeded());
    EXPECT_EQ(messageIds(presenter), (std::vector<int>{-1, 1109}));
}

TEST_F(DialogOperationTest, RenameToTheSameNameIsWrittenButReportsNoChange) {
    startWithToken();
    CChangeTokenNameDlg dialog(1);
    whenModal<CChangeTokenNameDlg>([](CChangeTokenNameDlg* d) { button(d, 1)->click(); });
    EXPECT_EQ(dialog.exec(), IDOK);
    EXPECT_EQ(fake().setLabelCalls, std::vector<std::string>{"ABCDEFG"});
    EXPECT_EQ(messageIds(presenter), std::vector<int>{823});
    EXPECT_EQ(presenter.requests()[0].flags, MB_ICONINFORMATION);
    std::string name;
    EXPECT_FALSE(dialog.result(name));
    EXPECT_EQ(name, "ABCDEFG");
}

TEST_F(DialogOperationTest, RefusedRenameKeepsTheDialogOpen) {
    startWithToken();
    fake().setLabelResult = CKR_FUNCTION_FAILED;
    CChangeTokenNameDlg dialog(1);
    bool stayedOpen = false, buttonsBack = false;
    whenModal<CChangeTokenNameDlg>([&](CChangeTokenNameDlg* d) {
        type(d, 1009, "Renamed");
        button(d, 1)->click();
        stayedOpen = d->isVisible() && QApplication::activeModalWidget() == d;
        buttonsBack = button(d, 1)->isEnabled() && button(d, 2)->isEnabled();
        // The user corrects nothing and cancels.
        button(d, 2)->click();
    });
    EXPECT_EQ(dialog.exec(), IDCANCEL);
    EXPECT_TRUE(stayedOpen);
    EXPECT_TRUE(buttonsBack);
    ASSERT_EQ(presenter.requests().size(), 1u);
    EXPECT_EQ(presenter.requests()[0].text, "Change Toekn name failed! [0x00000006]");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    std::string name;
    EXPECT_FALSE(dialog.result(name));
    EXPECT_EQ(name, "Renamed");
}

TEST_F(DialogOperationTest, RenameReportsANewName) {
    startWithToken();
    CChangeTokenNameDlg dialog(1);
    whenModal<CChangeTokenNameDlg>([](CChangeTokenNameDlg* d) {
        type(d, 1009, "Renamed");
        button(d, 1)->click();
    });
    EXPECT_EQ(dialog.exec(), IDOK);
    std::string name;
    EXPECT_TRUE(dialog.result(name));
    EXPECT_EQ(name, "Renamed");
    EXPECT_EQ(fake().setLabelCalls, std::vector<std::string>{"Renamed"});
}

TEST_F(DialogOperationTest, CancelAfterEditingTheNameReportsNoChange) {
    startWithToken();
    CChangeTokenNameDlg dialog(1);
    whenModal<CChangeTokenNameDlg>([](CChangeTokenNameDlg* d) {
        type(d, 1009, "Renamed");
        QTest::keyClick(d, Qt::Key_Escape);
    });
    EXPECT_EQ(dialog.exec(), IDCANCEL);
    std::string name;
    EXPECT_FALSE(dialog.result(name));
    EXPECT_EQ(name, "Renamed");
    EXPECT_TRUE(fake().setLabelCalls.empty());
}

TEST_F(DialogOperationTest, OperationsFillTheOutcome) {
    startWithToken();
    DialogAdminOperations& operations = DialogAdminOperations::instance();
    whenModal<CUnblockTokenDlg>([](CUnblockTokenDlg* d) {
        type(d, 1010, "12345678");
        type(d, 1029, "2468");
        type(d, 1012, "2468");
        button(d, 1)->click();
    });
    AdminOutcome unblocked = operations.unblockToken(nullptr, 1);
    EXPECT_TRUE(unblocked.succeeded);
    EXPECT_TRUE(unblocked.tokenTouched);
    EXPECT_EQ(unblocked.newPin.view(), "2468");

    fake().loginResult = CKR_PIN_INCORRECT;
    whenModal<CChangeSoPinDlg>([](CChangeSoPinDlg* d) {
        type(d, 1005, "00000000");
        type(d, 1006, "87654321");
        type(d, 1007, "87654321");
        button(d, 1)->click();
    });
    AdminOutcome so = operations.changeSoPin(nullptr, 1);
    EXPECT_FALSE(so.succeeded);
    EXPECT_TRUE(so.tokenTouched);

    EXPECT_FALSE(operations.loginWithPin(1, SecurePin("1234")));
    fake().loginResult = CKR_OK;
    EXPECT_TRUE(operations.loginWithPin(1, SecurePin("1234")));
    EXPECT_TRUE(entry()->loggedIn);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

} // namespace
