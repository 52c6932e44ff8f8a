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

namespace {

TEST(SoftHsmTreeTest, InitializationShowsTheSlotListAsTheModuleGivesItNow) {
    ensureApplication();
    SoftHsmStore store("korvan-anymodule-tree");
    setenv("SOFTHSM2_CONF", store.config().c_str(), 1);
    ASSERT_TRUE(TokenLibrary::instance().loadAnyModule(SOFTHSM2_MODULE));
    SlotManager& model = SlotManager::instance();
    model.setPollInterval(std::chrono::hours(24));
    ASSERT_TRUE(model.initialize());
    ScriptedPresenter presenter;
    ScopedMessagePresenter scoped(presenter);
    auto frame = std::make_unique<CMainFrame>();
    frame->setAdminOperations(&DialogAdminOperations::instance());
    CLeftTreeView* tree = frame->tree();

    tree->selectItem(tree->findSlotItem(model.allSlots().begin()->first));
    whenModal<CInitTokenDlg>([](CInitTokenDlg* d) {
        type(d, 1010, "11223344");
        type(d, 1006, "1234");
        type(d, 1009, "Tree token");
        button(d, 1)->click();
    });
    tree->runOperation(6);
    EXPECT_EQ(messageIds(presenter), std::vector<int>{855});

    // Every slot of the model has its item, in order, with the text its entry
    // gives now; the token's item is the one logged in and selected.
    ASSERT_GT(model.allSlots().size(), 1u) << "the module offers a further empty token";
    ASSERT_EQ(tree->rootItem()->childCount(), static_cast<int>(model.allSlots().size()));
    int row = 0;
    for (const auto& [id, entry] : model.allSlots()) {
        QTreeWidgetItem* item = tree->rootItem()->child(row++);
        EXPECT_EQ(CLeftTreeView::itemData(item)->slotId, id);
        EXPECT_EQ(item->text(0).toStdString(), slotItemText(*entry).text);
        if (entry->tokenLabel() != "Tree token")
            continue;
        EXPECT_TRUE(entry->loggedIn) << "logged in again with the new user PIN";
        ASSERT_EQ(item->childCount(), 1);
        EXPECT_EQ(tree->selectedItem(), item->child(0));
    }

    frame.reset();
    model.shutdown();
    TokenLibrary::instance().unload();
    unsetenv("SOFTHSM2_CONF");
}

} // namespace
