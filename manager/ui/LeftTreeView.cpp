#include "LeftTreeView.h"

#include "AdminOperations.h"
#include "CertManagerFormView.h"
#include "ControlId.h"
#include "DialogTranslation.h"
#include "PaneView.h"
#include "QtText.h"
#include "SlotInfoView.h"
#include "SlotManager.h"
#include "TokenInfoView.h"
#include "Translator.h"
#include "TreeImages.h"
#include "platform/DebugOutput.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>

#include <algorithm>

namespace {

QAction* addCommand(QMenu* menu, const char* text, int commandId) {
    QAction* action = menu->addAction(QString::fromLatin1(text));
    setControlId(action, commandId);
    return action;
}

} // namespace

CLeftTreeView::CLeftTreeView(QWidget* parent)
    : QTreeWidget(parent), images_(treeImages()),
      unavailable_(std::make_unique<UnavailableAdminOperations>()) {
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setIconSize(QSize(16, 16));
    setRootIsDecorated(true);
    // Long slot texts scroll sideways instead of being cut short.
    header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    // The tree's own context menu handling decides per item.
    setContextMenuPolicy(Qt::DefaultContextMenu);
    connect(this, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { onCurrentItemChanged(current); });
    // A click selects its item only after making it current, so the
    // commands are evaluated again once the selection has followed.
    connect(this, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (!rebuilding_)
            emit commandStateChanged();
    });
}

CLeftTreeView::~CLeftTreeView() {
    // Deleting the items frees their data; no selection handling meanwhile.
    rebuilding_ = true;
    clear();
}

void CLeftTreeView::setPane(CPaneView* pane) {
    pane_ = pane;
    if (pane_ == nullptr)
        return;
    CTokenInfoFormView* tokenView = pane_->tokenInfoView();
    connect(tokenView, &CTokenInfoFormView::operationRequested, this,
            [this](int operation) { runOperation(operation); });
    connect(tokenView, &CTokenInfoFormView::labelSet, this, [this](const QString& label) {
        renameSlotItem(pane_->tokenInfoView()->slotId(), label.toStdString());
    });
    connect(tokenView, &CTokenInfoFormView::tabToTree, this,
            [this] { setFocus(Qt::TabFocusReason); });
    tokenView->setSelectedItemHasChildren([this] {
        QTreeWidgetItem* item = selectedItem();
        return item != nullptr && item->childCount() > 0;
    });
    connect(pane_->slotInfoView(), &CSlotInfoFormView::tabPressed, this,
            [this] { setFocus(Qt::TabFocusReason); });
    CCertManagerFormView* certView = pane_->certManagerView();
    connect(certView, &CCertManagerFormView::tabToNavigation, this,
            [this] { setFocus(Qt::TabFocusReason); });
    connect(certView, &CCertManagerFormView::loginRequested, this,
            [this] { loginForCertificates(); });
    // The certificate view may modify the token while the item it shows is
    // marked logged in; without such an item with data it shows nothing.
    // That item is the current one: a mouse click makes an item current
    // before it selects it, so the selection may still be the previous item.
    certView->setNavigationQuery([this]() -> std::optional<bool> {
        TreeItemData* data = itemData(currentItem());
        if (data == nullptr)
            return std::nullopt;
        return data->loggedIn != 0;
    });
}

void CLeftTreeView::setAdminOperations(AdminOperations* operations) {
    operations_ = operations;
}

AdminOperations& CLeftTreeView::operations() const {
    return operations_ != nullptr ? *operations_ : *unavailable_;
}

void CLeftTreeView::buildTree() {
    bool wasRebuilding = rebuilding_;
    rebuilding_ = true;
    root_ = new CTreeItem();
    root_->setText(0, qtext(translate(kSlotListTextId, kSlotListText)));
    root_->setIcon(0, images_.value(kImageSlotEmpty));
    addTopLevelItem(root_);

    for (const auto& [slotId, entry] : SlotManager::instance().allSlots()) {
        SlotItemText text = slotItemText(*entry);
        if (hideEmptySlots_ && !text.recognized)
            continue;
        auto* item = new CTreeItem(TreeItemData{
            slotId, TreeItemData::kSlotItem, static_cast<unsigned char>(entry->loggedIn.load())});
        item->setText(0, qtext(text.text));
        item->setIcon(0, images_.value(text.image));
        root_->addChild(item);
        if (text.recognized)
            addDataManagementItem(item, slotId, entry->loggedIn);
    }
    root_->setExpanded(true);
    rebuilding_ = wasRebuilding;
}

void CLeftTreeView::rebuildTree() {
    bool wasRebuilding = rebuilding_;
    rebuilding_ = true;
    clear();
    root_ = nullptr;
    buildTree();
    rebuilding_ = wasRebuilding;
    emit commandStateChanged();
}

void CLeftTreeView::setHideEmptySlots(bool hide) {
    if (hide == hideEmptySlots_)
        return;
    hideEmptySlots_ = hide;
    rebuildTree();
}

QTreeWidgetItem* CLeftTreeView::addDataManagementItem(QTreeWidgetItem* slotItem, CK_SLOT_ID slotId,
                                                      bool loggedIn) {
    auto* child = new CTreeItem(TreeItemData{slotId, TreeItemData::kDataManagementItem,
                                             static_cast<unsigned char>(loggedIn)});
    child->setText(0, qtext(translate(kDataManagementTextId, kDataManagementText)));
    child->setIcon(0, images_.value(kImageDataManagement));
    slotItem->addChild(child);
    return child;
}

void CLeftTreeView::applySlotItemText(QTreeWidgetItem* item, const SlotEntry& entry) {
    SlotItemText text = slotItemText(entry);
    item->setText(0, qtext(text.text));
    item->setIcon(0, images_.value(text.image));
}

QTreeWidgetItem* CLeftTreeView::selectedItem() const {
    QList<QTreeWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

void CLeftTreeView::selectItem(QTreeWidgetItem* item) {
    if (item == nullptr)
        return;
    if (item == currentItem()) {
        // No change of the current item, so no signal: selecting it again
        // still brings its view up to date.
        item->setSelected(true);
        onCurrentItemChanged(item);
        return;
    }
    setCurrentItem(item);
}

QTreeWidgetItem* CLeftTreeView::findSlotItem(CK_SLOT_ID slotId) const {
    if (root_ == nullptr)
        return nullptr;
    for (int i = 0; i < root_->childCount(); ++i) {
        QTreeWidgetItem* child = root_->child(i);
        TreeItemData* data = itemData(child);
        if (data != nullptr && data->slotId == slotId)
            return child;
    }
    return nullptr;
}

TreeItemData* CLeftTreeView::itemData(QTreeWidgetItem* item) {
    auto* treeItem = dynamic_cast<CTreeItem*>(item);
    if (treeItem == nullptr || !treeItem->data)
        return nullptr;
    return &*treeItem->data;
}

bool CLeftTreeView::canOperate(bool forLogin) const {
    QTreeWidgetItem* item = selectedItem();
    SelectedItem selected;
    selected.exists = item != nullptr;
    if (item != nullptr) {
        selected.isRoot = item == root_;
        selected.parentIsRoot = root_ != nullptr && item->parent() == root_;
        selected.data = itemData(item);
    }
    const SlotEntry* entry = selected.data != nullptr
                                 ? SlotManager::instance().findSlot(selected.data->slotId)
                                 : nullptr;
    return ::canOperate(selected, entry, forLogin);
}

void CLeftTreeView::onCurrentItemChanged(QTreeWidgetItem* current) {
    if (rebuilding_ || current == nullptr || pane_ == nullptr) {
        if (!rebuilding_)
            emit commandStateChanged();
        return;
    }
    WaitCursor wait;
    if (current == root_) {
        pane_->slotInfoView()->refresh();
        pane_->showPane(CPaneView::kSlotInfo);
    } else if (TreeItemData* data = itemData(current)) {
        if (data->kind == TreeItemData::kSlotItem) {
            pane_->showPane(CPaneView::kTokenInfo);
            pane_->tokenInfoView()->showSlot(data->slotId);
            pane_->tokenInfoView()->setLoginState(!data->loggedIn);
        } else if (data->kind == TreeItemData::kDataManagementItem) {
            pane_->certManagerView()->refresh(data->slotId);
            pane_->showPane(CPaneView::kCertManager);
        }
    }
    emit commandStateChanged();
}

void CLeftTreeView::setLoggedInMarks(QTreeWidgetItem* slotItem, bool loggedIn) {
    if (slotItem == nullptr)
        return;
    if (TreeItemData* data = itemData(slotItem))
        data->loggedIn = loggedIn;
    for (int i = 0; i < slotItem->childCount(); ++i)
        if (TreeItemData* data = itemData(slotItem->child(i)))
            data->loggedIn = loggedIn;
}

void CLeftTreeView::renameSlotItem(CK_SLOT_ID slotId, const std::string& label) {
    QTreeWidgetItem* item = findSlotItem(slotId);
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (item == nullptr || entry == nullptr)
        return;
    item->setText(0, qtext(labelledSlotText(entry->slotDescription(), label)));
}

void CLeftTreeView::markLoggedOut(CK_SLOT_ID slotId) {
    setLoggedInMarks(findSlotItem(slotId), false);
    if (pane_ != nullptr && pane_->tokenInfoView()->slotId() == slotId)
        pane_->tokenInfoView()->setLoginState(true);
    if (SlotEntry* entry = SlotManager::instance().findSlot(slotId))
        entry->logout();
    emit commandStateChanged();
}

void CLeftTreeView::refreshTokenState(CK_SLOT_ID slotId) {
    if (SlotEntry* entry = SlotManager::instance().findSlot(slotId))
        entry->refreshTokenInfo();
    if (pane_ != nullptr)
        pane_->tokenInfoView()->refreshTokenDetails(slotId);
}

void CLeftTreeView::runOperation(int number) {
    std::optional<Operation> operation = operationFromNumber(number);
    QTreeWidgetItem* item = selectedItem();
    TreeItemData* data = itemData(item);
    if (!operation || data == nullptr)
        return;
    const CK_SLOT_ID slotId = data->slotId;
    if (!tokenUsable(SlotManager::instance().findSlot(slotId)))
        return;
    if (*operation == Operation::Login && data->kind != TreeItemData::kSlotItem)
        return;
    // Every operation below belongs to the slot, also when the "Data
    // management" item is selected. No item is kept across a dialog: the
    // tree may be rebuilt while it runs, and the steps after it find the
    // slot's item again by its id.
    QWidget* owner = window();

    switch (*operation) {
    case Operation::Login: {
        if (!data->loggedIn && !operations().login(owner, slotId))
            return;
        // The dialog ran an event loop: an insertion or removal may have
        // rebuilt the tree, so the slot's item is looked up again.
        QTreeWidgetItem* slotItem = findSlotItem(slotId);
        setLoggedInMarks(slotItem, true);
        if (slotItem != nullptr && slotItem->childCount() > 0)
            selectItem(slotItem->child(0));
        break;
    }
    case Operation::ChangeTokenName: {
        AdminOutcome outcome = operations().changeTokenName(owner, slotId);
        if (!outcome.succeeded)
            return;
        // Row 0 of the token list belongs to whichever slot the view shows.
        if (pane_ != nullptr && pane_->tokenInfoView()->slotId() == slotId)
            pane_->tokenInfoView()->setLabel(qtext(outcome.newName));
        renameSlotItem(slotId, outcome.newName);
        break;
    }
    case Operation::ChangeUserPin:
    case Operation::UnblockToken:
    case Operation::InitToken: {
        AdminOutcome outcome =
            *operation == Operation::ChangeUserPin  ? operations().changeUserPin(owner, slotId)
            : *operation == Operation::UnblockToken ? operations().unblockToken(owner, slotId)
                                                    : operations().initToken(owner, slotId);
        CK_SLOT_ID tokenSlot = slotId;
        if (outcome.slotsReread) {
            // The module may have moved the token to another slot id and
            // listed new slots: every item of the old list is stale.
            tokenSlot = outcome.tokenSlot;
            rebuildTree();
            selectItem(findSlotItem(tokenSlot));
        }
        if (outcome.succeeded) {
            if (*operation == Operation::InitToken)
                renameSlotItem(tokenSlot, outcome.newName);
            afterPinOperation(tokenSlot, outcome.newPin);
        } else if (outcome.tokenTouched) {
            markLoggedOut(tokenSlot);
            refreshTokenState(tokenSlot);
        }
        outcome.newPin.clear();
        break;
    }
    case Operation::ChangeSoPin: {
        AdminOutcome outcome = operations().changeSoPin(owner, slotId);
        if (outcome.succeeded || outcome.tokenTouched) {
            markLoggedOut(slotId);
            refreshTokenState(slotId);
        }
        break;
    }
    }
    emit commandStateChanged();
}

void CLeftTreeView::loginForCertificates() {
    TreeItemData* data = itemData(selectedItem());
    if (data == nullptr || data->kind != TreeItemData::kDataManagementItem || data->loggedIn)
        return;
    const CK_SLOT_ID slotId = data->slotId;
    if (!tokenUsable(SlotManager::instance().findSlot(slotId)) ||
        !operations().login(window(), slotId))
        return;
    // As after the menu's Login; the dialog's event loop may have rebuilt
    // the tree, so the items are looked up again.
    QTreeWidgetItem* slotItem = findSlotItem(slotId);
    setLoggedInMarks(slotItem, true);
    if (slotItem != nullptr && slotItem->childCount() > 0) {
        selectItem(slotItem->child(0));
        pane_->certManagerView()->refresh(slotId);
    }
    emit commandStateChanged();
}

// After a new user PIN: log out, log in again with the new PIN without a
// dialog, and re-read the token. The login marks follow what the new login
// gave, so a failed login leaves Login available. The login step may show a
// message box, during which the tree may be rebuilt, so the slot's item is
// looked up only afterwards.
void CLeftTreeView::afterPinOperation(CK_SLOT_ID slotId, SecurePin& newPin) {
    if (pane_ != nullptr)
        pane_->tokenInfoView()->showSlot(slotId);
    markLoggedOut(slotId);
    bool loggedIn = operations().loginWithPin(slotId, newPin);
    newPin.clear();
    QTreeWidgetItem* slotItem = findSlotItem(slotId);
    if (loggedIn) {
        setLoggedInMarks(slotItem, true);
        if (pane_ != nullptr) {
            pane_->tokenInfoView()->setLoginState(false);
            pane_->certManagerView()->refresh(slotId);
        }
    }
    if (SlotEntry* entry = SlotManager::instance().findSlot(slotId))
        entry->refreshTokenInfo();
    if (loggedIn && slotItem != nullptr && slotItem->childCount() > 0) {
        selectItem(slotItem->child(0));
    } else if (pane_ != nullptr) {
        pane_->tokenInfoView()->refreshTokenDetails(slotId);
    }
}

std::unique_ptr<QMenu> CLeftTreeView::createContextMenu(QTreeWidgetItem* item) const {
    TreeItemData* data = itemData(item);
    if (data == nullptr || data->kind != TreeItemData::kSlotItem)
        return nullptr;
    auto menu = std::make_unique<QMenu>();
    QMenu* popup = menu->addMenu(QStringLiteral("Operation"));
    QAction* login = addCommand(popup, "Login", command::kContextLogin);
    addCommand(popup, "Change User PIN", command::kContextChangeUserPin);
    addCommand(popup, "Change Token Name", command::kContextChangeTokenName);
    popup->addSeparator();
    addCommand(popup, "Init Token", command::kContextInitToken);
    addCommand(popup, "Unblock Token", command::kContextUnblockToken);
    addCommand(popup, "Change Secure Officer Pin", command::kContextChangeSoPin);
    translateMenu(menu.get());

    ContextMenuState state =
        contextMenuState(*data, SlotManager::instance().findSlot(data->slotId));
    if (state.allGrayed) {
        for (QAction* action : popup->actions())
            action->setEnabled(false);
    } else if (state.loginGrayed) {
        login->setEnabled(false);
    }
    return menu;
}

void CLeftTreeView::contextMenuEvent(QContextMenuEvent* event) {
    QTreeWidgetItem* item = itemAt(event->pos());
    if (item == nullptr) {
        platform::debugOutputf("HitTest() NULL, 0x%08X\n", 0u);
        return;
    }
    platform::debugOutput("Yes we selected one.\n");
    selectItem(item);
    std::unique_ptr<QMenu> menu = createContextMenu(item);
    if (!menu)
        return;
    QMenu* popup = menu->actions().first()->menu();
    QAction* chosen = popup->exec(event->globalPos());
    if (chosen == nullptr)
        return;
    if (std::optional<Operation> operation = operationForCommand(controlId(chosen)))
        runOperation(static_cast<int>(*operation));
}

void CLeftTreeView::focusSelectedView() {
    QTreeWidgetItem* item = selectedItem();
    if (item == nullptr || pane_ == nullptr)
        return;
    QWidget* view = pane_->slotInfoView();
    if (TreeItemData* data = itemData(item))
        view = data->kind == TreeItemData::kSlotItem ? static_cast<QWidget*>(pane_->tokenInfoView())
                                                     : pane_->certManagerView();
    // The view's first control that takes the focus by Tab, else the view.
    for (QWidget* w = view->nextInFocusChain(); w != nullptr && w != view;
         w = w->nextInFocusChain()) {
        if (view->isAncestorOf(w) && w->isVisibleTo(view) && w->isEnabled() &&
            (w->focusPolicy() & Qt::TabFocus) != 0) {
            w->setFocus(Qt::TabFocusReason);
            return;
        }
    }
    view->setFocus(Qt::TabFocusReason);
}

bool CLeftTreeView::event(QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab && (key->modifiers() & ~Qt::KeypadModifier) == 0) {
            focusSelectedView();
            return true;
        }
    }
    return QTreeWidget::event(event);
}

void CLeftTreeView::onSlotChanged(CK_SLOT_ID slotId) {
    rebuildTree();
    if (pane_ != nullptr)
        pane_->slotInfoView()->refresh();
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (QTreeWidgetItem* item = entry != nullptr ? findSlotItem(slotId) : nullptr) {
        rebuilding_ = true;
        applySlotItemText(item, *entry);
        qDeleteAll(item->takeChildren());
        if (entry->tokenPresent) {
            static_cast<CTreeItem*>(item)->data = TreeItemData{slotId, TreeItemData::kSlotItem, 0};
            if (entry->tokenRecognized)
                addDataManagementItem(item, slotId, false);
        }
        rebuilding_ = false;
    }
    selectItem(root_);
    if (pane_ != nullptr)
        pane_->showPane(CPaneView::kSlotInfo);
    if (entry != nullptr)
        entry->refreshSlotInfo();
    if (pane_ != nullptr)
        pane_->slotInfoView()->refresh();
}

void CLeftTreeView::onPinChanged(CK_SLOT_ID slotId) {
    QTreeWidgetItem* item = findSlotItem(slotId);
    if (item == nullptr) {
        // A slot the tree does not show: its login is stale all the same,
        // but another slot's item must not be touched.
        if (SlotEntry* entry = SlotManager::instance().findSlot(slotId)) {
            entry->logout();
            entry->refreshTokenInfo();
        }
        return;
    }
    selectItem(item);
    markLoggedOut(slotId);
    refreshTokenState(slotId);
}

void CLeftTreeView::onLabelChanged(CK_SLOT_ID slotId) {
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (entry == nullptr)
        return;
    entry->refreshTokenInfo();
    std::string label = entry->tokenLabel();
    // Row 0 of the token list belongs to whichever slot the view shows.
    if (pane_ != nullptr && pane_->tokenInfoView()->slotId() == slotId)
        pane_->tokenInfoView()->setLabel(qtext(label));
    if (QTreeWidgetItem* item = findSlotItem(slotId)) {
        if (TreeItemData* data = itemData(item))
            data->loggedIn = 0;
        renameSlotItem(slotId, label);
    }
}

void CLeftTreeView::onTokenReinitialized(CK_SLOT_ID slotId) {
    SlotEntry* entry = SlotManager::instance().findSlot(slotId);
    if (entry == nullptr)
        return;
    entry->logout();
    entry->refreshSlotInfo();
    entry->refreshTokenInfo();
    QTreeWidgetItem* item = findSlotItem(slotId);
    if (item == nullptr)
        return;
    // The marks are cleared before the selection so the token view offers
    // Login for the logged-out token.
    setLoggedInMarks(item, false);
    selectItem(item);
    std::string label = entry->tokenLabel();
    if (pane_ != nullptr)
        pane_->tokenInfoView()->setLabel(qtext(label));
    renameSlotItem(slotId, label);
}
