// The window's tree with the dialogs installed, over SoftHSM2 bound as a
// module without the vendor table: an initialization through the standard
// calls changes the module's slot list (a new empty token, and in a later
// process a new slot id for the initialized one), and the tree must show it.

// Ahead of every Qt header: AdminContext has a member named like a Qt macro.
#include "AdminContext.h"

#include "DialogAdminOperations.h"
#include "DialogTestSupport.h"
#include "InitTokenDlg.h"
#include "LeftTreeView.h"
#include "MainFrame.h"
#include "MainWindowRules.h"
#include "SlotManager.h"
#include "SoftHsmStore.h"
#include "TokenLibrary.h"

#include <chrono>
#include <cstdlib>
#include <string>

namespace {

class SoftHsmTreeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override {
        setenv("SOFTHSM2_CONF", store.config().c_str(), 1);
        ASSERT_TRUE(TokenLibrary::instance().loadAnyModule(SOFTHSM2_MODULE));
        SlotManager::instance().setPollInterval(std::chrono::hours(24));
        ASSERT_TRUE(SlotManager::instance().initialize());
        ASSERT_EQ(SlotManager::instance().allSlots().size(), 1u);
        scoped_ = std::make_unique<ScopedMessagePresenter>(presenter);
        frame = std::make_unique<CMainFrame>();
        frame->setAdminOperations(&DialogAdminOperations::instance());
    }

    void TearDown() override {
        frame.reset();
        scoped_.reset();
        SlotManager::instance().shutdown();
        TokenLibrary::instance().unload();
        unsetenv("SOFTHSM2_CONF");
    }

    CLeftTreeView* tree() const { return frame->tree(); }

    // Runs Init Token on the slot's item through the dialog.
    void initialize(CK_SLOT_ID slotId, const char* soPin, const char* label, const char* userPin) {
        tree()->selectItem(tree()->findSlotItem(slotId));
        whenModal<CInitTokenDlg>([=](CInitTokenDlg* d) {
            type(d, 1010, soPin);
            type(d, 1006, userPin);
            type(d, 1009, label);
            button(d, 1)->click();
        });
        tree()->runOperation(6);
    }

    static CK_SLOT_ID slotWithLabel(const std::string& label) {
        for (const auto& [id, entry] : SlotManager::instance().allSlots())
            if (entry->tokenPresent && entry->tokenLabel() == label)
                return id;
        return CK_SLOT_ID(-1);
    }

    // Every slot of the model has its item, in order, with the text its
    // entry gives now: no item is left over from the list before.
    void expectTreeMatchesModel() const {
        QTreeWidgetItem* root = tree()->rootItem();
        ASSERT_NE(root, nullptr);
        const SlotManager::SlotMap& model = SlotManager::instance().allSlots();
        ASSERT_EQ(root->childCount(), static_cast<int>(model.size()));
        int row = 0;
        for (const auto& [id, entry] : model) {
            QTreeWidgetItem* item = root->child(row++);
            TreeItemData* data = CLeftTreeView::itemData(item);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(data->slotId, id);
            EXPECT_EQ(item->text(0).toStdString(), slotItemText(*entry).text);
        }
    }

    SoftHsmStore store{"korvan-anymodule-tree"};
    ScriptedPresenter presenter;
    std::unique_ptr<ScopedMessagePresenter> scoped_;
    std::unique_ptr<CMainFrame> frame;
};

TEST_F(SoftHsmTreeTest, InitializationShowsTheSlotListAsTheModuleGivesItNow) {
    const CK_SLOT_ID emptySlot = SlotManager::instance().allSlots().begin()->first;
    initialize(emptySlot, "11223344", "Tree token", "1234");
    EXPECT_EQ(messageIds(presenter), std::vector<int>{855});

    CK_SLOT_ID moved = slotWithLabel("Tree token");
    ASSERT_NE(moved, CK_SLOT_ID(-1));
    // The module now offers a further empty token in a slot of its own.
    EXPECT_GT(SlotManager::instance().allSlots().size(), 1u);
    expectTreeMatchesModel();
    QTreeWidgetItem* item = tree()->findSlotItem(moved);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->text(0).endsWith(" [Tree token]")) << item->text(0).toStdString();
    // The login with the new user PIN went to the new slot and its marks.
    EXPECT_TRUE(SlotManager::instance().findSlot(moved)->loggedIn);
    ASSERT_EQ(item->childCount(), 1);
    EXPECT_EQ(tree()->selectedItem(), item->child(0));
    EXPECT_TRUE(CLeftTreeView::itemData(item->child(0))->loggedIn);

    // A refused re-initialization reads the list again as well and leaves
    // the token, logged out, where it is.
    initialize(moved, "00000000", "Other", "5678");
    EXPECT_EQ(messageIds(presenter).back(), 1109);
    expectTreeMatchesModel();
    EXPECT_EQ(slotWithLabel("Tree token"), moved);
    EXPECT_FALSE(CLeftTreeView::itemData(tree()->findSlotItem(moved))->loggedIn);
}

} // namespace
