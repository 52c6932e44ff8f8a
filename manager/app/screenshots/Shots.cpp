#include "Shots.h"

#include "AboutDlg.h"
#include "ChangeTokenNameDlg.h"
#include "InitTokenDlg.h"
#include "LeftTreeView.h"
#include "LoginDlg.h"
#include "MainFrame.h"
#include "PaneView.h"
#include "PinDialogs.h"

#include <memory>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMenu>
#include <QTreeWidgetItem>

namespace {

// The main window after the tree item has been selected, as a click would.
QPixmap mainWindowWith(CMainFrame& frame, QTreeWidgetItem* item, int expectedPane) {
    if (item == nullptr)
        return {};
    frame.tree()->selectItem(item);
    settle();
    if (frame.pane()->currentIndex() != expectedPane)
        return {};
    return frame.grab();
}

QTreeWidgetItem* firstTokenItem(CMainFrame& frame) {
    QTreeWidgetItem* root = frame.tree()->rootItem();
    for (int i = 0; root != nullptr && i < root->childCount(); ++i)
        if (root->child(i)->childCount() > 0)
            return root->child(i);
    return nullptr;
}

// The administration dialogs are shown for the first token's slot, so their
// labels carry that token's PIN bounds and name.
template <typename Dialog> QPixmap adminDialog(CMainFrame& frame) {
    TreeItemData* data = CLeftTreeView::itemData(firstTokenItem(frame));
    Dialog dialog(data != nullptr ? data->slotId : 0, &frame);
    return grabDialog(dialog);
}

} // namespace

void settle(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, milliseconds);
    } while (timer.elapsed() < milliseconds);
}

QPixmap grabDialog(QWidget& dialog) {
    dialog.show();
    settle();
    QPixmap picture = dialog.grab();
    dialog.hide();
    return picture;
}

const std::vector<Shot>& shotTable() {
    static const std::vector<Shot> shots = {
        {"main-slots",
         [](CMainFrame& frame) {
             return mainWindowWith(frame, frame.tree()->rootItem(), CPaneView::kSlotInfo);
         }},
        {"main-token",
         [](CMainFrame& frame) {
             return mainWindowWith(frame, firstTokenItem(frame), CPaneView::kTokenInfo);
         }},
        {"main-certs",
         [](CMainFrame& frame) {
             QTreeWidgetItem* slot = firstTokenItem(frame);
             return mainWindowWith(frame, slot ? slot->child(0) : nullptr, CPaneView::kCertManager);
         }},
        {"menu-context",
         [](CMainFrame& frame) {
             std::unique_ptr<QMenu> menu = frame.tree()->createContextMenu(firstTokenItem(frame));
             if (!menu || menu->actions().isEmpty() || !menu->actions().first()->menu())
                 return QPixmap();
             QMenu* popup = menu->actions().first()->menu();
             popup->popup(frame.mapToGlobal(QPoint(60, 60)));
             settle();
             QPixmap picture = popup->grab();
             popup->close();
             return picture;
         }},
        {"about",
         [](CMainFrame& frame) {
             CAboutDlg about(&frame);
             return grabDialog(about);
         }},
        {"dialog-login", adminDialog<CLoginDlg>},
        {"dialog-change-user-pin", adminDialog<CChangeUserPinDlg>},
        {"dialog-unblock-token", adminDialog<CUnblockTokenDlg>},
        {"dialog-init-token", adminDialog<CInitTokenDlg>},
        {"dialog-change-so-pin", adminDialog<CChangeSoPinDlg>},
        {"dialog-change-token-name", adminDialog<CChangeTokenNameDlg>},
    };
    return shots;
}
