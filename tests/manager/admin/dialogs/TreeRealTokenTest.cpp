// The tree's operations with the dialogs installed, against the software
// token in a temporary store: what the user does in the running manager.

// Ahead of every Qt header: AdminContext has a member named like a Qt macro.
#include "AdminContext.h"

#include "ChangeTokenNameDlg.h"
#include "DialogAdminOperations.h"
#include "DialogTestSupport.h"
#include "InitTokenDlg.h"
#include "LeftTreeView.h"
#include "LoginDlg.h"
#include "MainFrame.h"
#include "MessageFlags.h"
#include "PinDialogs.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include <QProcess>
#include <QTableWidget>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

class TreeRealTokenTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("korvan-admin-tree-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "store");
        std::ofstream(root_ / "token.conf")
            << "store_dir = " << (root_ / "store").string() << "\nslots = 1\n"
            << "pin_iterations = 1\nmax_retries = 3\nmin_pin_len = 4\nmax_pin_len = 16\n";
        setenv("MERIDIA_TOKEN_CONF", (root_ / "token.conf").c_str(), 1);
        ASSERT_TRUE(tokenctl(
            {"create", "t1", "--label", "Alpha", "--so-pin", "12345678", "--user-pin", "1234"}));
        ASSERT_TRUE(tokenctl({"insert", "t1", "--slot", "1"}));

        ASSERT_TRUE(TokenLibrary::instance().load(MERIDIA_MODULE));
        SlotManager::instance().setPollInterval(std::chrono::hours(24));
        ASSERT_TRUE(SlotManager::instance().initialize());
        scoped_ = std::make_unique<ScopedMessagePresenter>(presenter);
        frame = std::make_unique<CMainFrame>();
        frame->setAdminOperations(&DialogAdminOperations::instance());
        tree()->selectItem(slotItem());
    }

    void TearDown() override {
        frame.reset();
        scoped_.reset();
        SlotManager::instance().shutdown();
        TokenLibrary::instance().unload();
        unsetenv("MERIDIA_TOKEN_CONF");
        std::filesystem::remove_all(root_);
    }

    static bool tokenctl(const QStringList& arguments) {
        QProcess process;
        process.start(QStringLiteral(TOKENCTL), arguments);
        return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    CLeftTreeView* tree() const { return frame->tree(); }
    QTreeWidgetItem* slotItem() const { return tree()->findSlotItem(1); }
    static SlotEntry* entry() { return SlotManager::instance().findSlot(1); }
    bool marked() const {
        TreeItemData* data = CLeftTreeView::itemData(slotItem());
        TreeItemData* child = CLeftTreeView::itemData(slotItem()->child(0));
        return data != nullptr && data->loggedIn && child != nullptr && child->loggedIn;
    }

    // Forgets every login of this process on the token, so the next
    // C_Login really checks its PIN.
    static void dropLogins() {
        TokenLibrary::instance().functions()->C_CloseAllSessions(1);
        entry()->logout();
    }
    static CK_RV loginWith(CK_USER_TYPE user, const std::string& pin) {
        CK_FUNCTION_LIST* f = TokenLibrary::instance().functions();
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        CK_RV rv =
            f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session);
        if (rv != CKR_OK)
            return rv;
        rv = f->C_Login(session, user,
                        reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())),
                        CK_ULONG(pin.size()));
        f->C_CloseAllSessions(1);
        return rv;
    }

    void loginDialog(const char* pin) {
        whenModal<CLoginDlg>([pin](CLoginDlg* d) {
            type(d, 1011, pin);
            button(d, 310)->click();
        });
        tree()->runOperation(3);
    }
    void unblockDialog(const char* soPin, const char* newPin) {
        whenModal<CUnblockTokenDlg>([soPin, newPin](CUnblockTokenDlg* d) {
            type(d, 1010, soPin);
            type(d, 1029, newPin);
            type(d, 1012, newPin);
            button(d, 1)->click();
        });
        tree()->runOperation(7);
    }

    std::filesystem::path root_;
    ScriptedPresenter presenter;
    std::unique_ptr<ScopedMessagePresenter> scoped_;
    std::unique_ptr<CMainFrame> frame;
};

TEST_F(TreeRealTokenTest, LoginMarksTheSlotAndOpensDataManagement) {
    loginDialog("1234");
    EXPECT_TRUE(presenter.requests().empty());
    EXPECT_TRUE(entry()->loggedIn);
    EXPECT_TRUE(marked());
    EXPECT_EQ(tree()->selectedItem(), slotItem()->child(0));
}

TEST_F(TreeRealTokenTest, WrongPinsBlockTheTokenAndTheUnblockFreesIt) {
    for (int i = 0; i < 4; ++i) {
        tree()->selectItem(slotItem());
        loginDialog("9999");
    }
    // The attempt that blocks is a wrong PIN with the blocked flag (803); the
    // next one is refused as blocked (801).
    EXPECT_EQ(messageIds(presenter), (std::vector<int>{805, 804, 803, 801}));
    EXPECT_FALSE(entry()->loggedIn);
    EXPECT_FALSE(marked());

    tree()->selectItem(slotItem());
    unblockDialog("12345678", "2468");
    EXPECT_EQ(messageIds(presenter).back(), 844);
    // The tree logged in again with the new PIN.
    EXPECT_TRUE(entry()->loggedIn);
    EXPECT_TRUE(marked());
    dropLogins();
    EXPECT_EQ(loginWith(CKU_USER, "2468"), CKR_OK);
}

TEST_F(TreeRealTokenTest, WrongSoPinsInTheUnblockDialogBlockTheSo) {
    for (int i = 0; i < 4; ++i) {
        tree()->selectItem(slotItem());
        unblockDialog("00000000", "2468");
    }
    EXPECT_EQ(messageIds(presenter), (std::vector<int>{839, 838, 837, 835}));
    dropLogins();
    EXPECT_EQ(loginWith(CKU_USER, "1234"), CKR_OK) << "the user PIN is unchanged";
}

TEST_F(TreeRealTokenTest, PinChangeLogsInAgainWithTheNewPin) {
    whenModal<CChangeUserPinDlg>([](CChangeUserPinDlg* d) {
        type(d, 1028, "1234");
        type(d, 1029, "5678");
        type(d, 1012, "5678");
        button(d, 1)->click();
    });
    tree()->runOperation(5);
    EXPECT_EQ(messageIds(presenter), std::vector<int>{814});
    EXPECT_TRUE(entry()->loggedIn);
    EXPECT_TRUE(marked());
    EXPECT_EQ(tree()->selectedItem(), slotItem()->child(0));

    dropLogins();
    EXPECT_EQ(loginWith(CKU_USER, "1234"), CKR_PIN_INCORRECT);
    EXPECT_EQ(loginWith(CKU_USER, "5678"), CKR_OK);
}

TEST_F(TreeRealTokenTest, InitializationGivesTheTokenEverythingTyped) {
    presenter.pushAnswer(IDOK); // the erase question
    whenModal<CInitTokenDlg>([](CInitTokenDlg* d) {
        type(d, CInitTokenDlg::kCurrentSoPinControlId, "12345678");
        type(d, 1010, "87654321");
        type(d, 1006, "4321");
        type(d, 1009, "Fresh");
        type(d, 1098, "5");
        type(d, 1100, "4");
        type(d, 1099, "20000");
        type(d, 1101, "10000");
        button(d, 1)->click();
    });
    tree()->runOperation(6);
    EXPECT_EQ(messageIds(presenter), (std::vector<int>{-1, 855}));
    // The question names the token that goes.
    EXPECT_NE(presenter.requests()[0].text.find("\"Alpha\""), std::string::npos)
        << presenter.requests()[0].text;
    EXPECT_TRUE(slotItem()->text(0).endsWith(" [Fresh]")) << slotItem()->text(0).toStdString();
    EXPECT_TRUE(entry()->loggedIn) << "logged in again with the new user PIN";
    EXPECT_EQ(entry()->tokenLabel(), "Fresh");
    EXPECT_EQ(entry()->tokenNumber(1), 20000u);
    EXPECT_EQ(entry()->tokenNumber(0), 10000u);

    PinErrorCounts counts{};
    ASSERT_EQ(TokenLibrary::instance().auxFunctions()->E_GetPinErrorCounts(
                  1, reinterpret_cast<CK_BYTE_PTR>(&counts)),
              CKR_OK);
    EXPECT_EQ(counts.soPinErrorCount, 5);
    EXPECT_EQ(counts.userPinErrorCount, 4);
    dropLogins();
    EXPECT_EQ(loginWith(CKU_SO, "87654321"), CKR_OK);
    EXPECT_EQ(loginWith(CKU_USER, "4321"), CKR_OK);
}

// Initialized again in the same run, the token must behave as after a
// restart: logged in with the newest PIN and the cached figures those of the
// fresh token.
TEST_F(TreeRealTokenTest, SecondInitializationInTheSameRunWorksLikeTheFirst) {
    const char* const pins[] = {"4321", "8765"};
    const char* soPin = "12345678";
    for (const char* pin : pins) {
        tree()->selectItem(slotItem());
        presenter.pushAnswer(IDOK); // the erase question
        whenModal<CInitTokenDlg>([pin, soPin](CInitTokenDlg* d) {
            type(d, CInitTokenDlg::kCurrentSoPinControlId, soPin);
            type(d, 1010, "87654321");
            type(d, 1006, pin);
            type(d, 1009, "Fresh");
            type(d, 1098, "5");
            type(d, 1100, "4");
            type(d, 1099, "20000");
            type(d, 1101, "10000");
            button(d, 1)->click();
        });
        tree()->runOperation(6);
        soPin = "87654321";
        SCOPED_TRACE(pin);
        EXPECT_TRUE(entry()->loggedIn);
        EXPECT_TRUE(marked());
        // The free space an import checks against is the fresh token's.
        CK_TOKEN_INFO info{};
        ASSERT_EQ(TokenLibrary::instance().functions()->C_GetTokenInfo(1, &info), CKR_OK);
        EXPECT_EQ(entry()->tokenNumber(3), info.ulFreePublicMemory);
        EXPECT_EQ(entry()->tokenNumber(2), info.ulFreePrivateMemory);
    }
    EXPECT_EQ(messageIds(presenter), (std::vector<int>{-1, 855, -1, 855}));
    dropLogins();
    EXPECT_EQ(loginWith(CKU_USER, "8765"), CKR_OK);
}

TEST_F(TreeRealTokenTest, RenameRelabelsTheItemAndTheTokenView) {
    whenModal<CChangeTokenNameDlg>([](CChangeTokenNameDlg* d) {
        type(d, 1009, "Renamed");
        button(d, 1)->click();
    });
    tree()->runOperation(4);
    EXPECT_EQ(messageIds(presenter), std::vector<int>{823});
    EXPECT_TRUE(slotItem()->text(0).endsWith(" [Renamed]")) << slotItem()->text(0).toStdString();
    QTableWidget* tokenList = nullptr;
    for (auto* list : frame->findChildren<QTableWidget*>())
        if (controlId(list) == 351)
            tokenList = list;
    ASSERT_NE(tokenList, nullptr);
    EXPECT_EQ(tokenList->item(0, 1)->text(), "Renamed");
    CK_TOKEN_INFO info{};
    ASSERT_EQ(TokenLibrary::instance().functions()->C_GetTokenInfo(1, &info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 7), "Renamed");
}

TEST_F(TreeRealTokenTest, SoPinChangeLogsOutAndTakesTheNewPin) {
    loginDialog("1234");
    tree()->selectItem(slotItem());
    whenModal<CChangeSoPinDlg>([](CChangeSoPinDlg* d) {
        type(d, 1005, "12345678");
        type(d, 1006, "11223344");
        type(d, 1007, "11223344");
        button(d, 1)->click();
    });
    tree()->runOperation(8);
    EXPECT_EQ(messageIds(presenter), std::vector<int>{834});
    EXPECT_FALSE(entry()->loggedIn);
    EXPECT_FALSE(marked());
    dropLogins();
    EXPECT_EQ(loginWith(CKU_SO, "12345678"), CKR_PIN_INCORRECT);
    EXPECT_EQ(loginWith(CKU_SO, "11223344"), CKR_OK);
}

} // namespace
