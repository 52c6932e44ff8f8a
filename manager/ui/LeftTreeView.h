#pragma once

#include "MainWindowRules.h"
#include "TreeItemData.h"

#include <p11-kit/pkcs11.h>

#include <QMenu>
#include <QTreeWidget>

#include <memory>
#include <optional>

class AdminOperations;
class SecurePin;
class CPaneView;
class SlotEntry;

// A navigation-tree item; every item but the root owns its data.
class CTreeItem : public QTreeWidgetItem {
public:
    CTreeItem() = default;
    explicit CTreeItem(const TreeItemData& data) : data(data) {}
    std::optional<TreeItemData> data;
};

// The navigation tree: the root "Slot list", one item per slot and, under a
// recognized token, its "Data management" item. Selecting an item switches
// the right-hand pane; the operations of the menus and the token view act
// on the selected slot item.
class CLeftTreeView : public QTreeWidget {
    Q_OBJECT
public:
    explicit CLeftTreeView(QWidget* parent = nullptr);
    ~CLeftTreeView() override;

    // The pane whose views the tree switches; wires the views' requests.
    void setPane(CPaneView* pane);
    // The administration dialogs; null (the default) uses stand-ins that do
    // nothing. Not owned.
    void setAdminOperations(AdminOperations* operations);

    void buildTree();
    void rebuildTree();
    bool hideEmptySlots() const { return hideEmptySlots_; }
    // Rebuilds the tree when the setting changes.
    void setHideEmptySlots(bool hide);

    QTreeWidgetItem* rootItem() const { return root_; }
    QTreeWidgetItem* selectedItem() const;
    void selectItem(QTreeWidgetItem* item);
    // The first child of the root for the slot, or null.
    QTreeWidgetItem* findSlotItem(CK_SLOT_ID slotId) const;
    static TreeItemData* itemData(QTreeWidgetItem* item);

    bool canOperate(bool forLogin) const;
    // Runs operation 3 to 8 on the selected item; anything else is ignored.
    void runOperation(int operation);
    // The certificate view's Login: logs in the slot of the selected "Data
    // management" item and shows its certificates.
    void loginForCertificates();
    // Clears the login marks of the slot's item, offers Login in the token
    // view when it shows the slot, and logs the slot's entry out.
    void markLoggedOut(CK_SLOT_ID slotId);

    // Menu 141 for a slot item, localized and grayed as the slot allows;
    // null for any other item. Its one entry is the popup to show.
    std::unique_ptr<QMenu> createContextMenu(QTreeWidgetItem* item) const;

    // Slot events, on the user-interface thread.
    void onSlotChanged(CK_SLOT_ID slotId);
    void onPinChanged(CK_SLOT_ID slotId);
    void onLabelChanged(CK_SLOT_ID slotId);
    void onTokenReinitialized(CK_SLOT_ID slotId);

    // Gives the focus to the view that belongs to the selected item.
    void focusSelectedView();

signals:
    // Selection or login marks changed: the window re-evaluates its commands.
    void commandStateChanged();

protected:
    bool event(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void onCurrentItemChanged(QTreeWidgetItem* current);
    void applySlotItemText(QTreeWidgetItem* item, const SlotEntry& entry);
    QTreeWidgetItem* addDataManagementItem(QTreeWidgetItem* slotItem, CK_SLOT_ID slotId,
                                           bool loggedIn);
    void setLoggedInMarks(QTreeWidgetItem* slotItem, bool loggedIn);
    void renameSlotItem(CK_SLOT_ID slotId, const std::string& label);
    void afterPinOperation(CK_SLOT_ID slotId, SecurePin& newPin);
    void refreshTokenState(CK_SLOT_ID slotId);
    AdminOperations& operations() const;

    // The six images, drawn once.
    QList<QIcon> images_;
    CPaneView* pane_ = nullptr;
    AdminOperations* operations_ = nullptr;
    std::unique_ptr<AdminOperations> unavailable_;
    QTreeWidgetItem* root_ = nullptr;
    bool hideEmptySlots_ = false;
    // Items come and go while the tree is rebuilt; those changes are not
    // user selections.
    bool rebuilding_ = false;
};
