#include "MainFrame.h"

#include "CertManagerFormView.h"
#include "ControlId.h"
#include "DialogTranslation.h"
#include "LeftTreeView.h"
#include "MainWindowRules.h"
#include "MessageFlags.h"
#include "PaneView.h"
#include "SlotEventPoster.h"
#include "SlotInfoView.h"
#include "SlotManager.h"
#include "SplitterWnd.h"

#include <korvan/vendor_aux.h>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QStatusTipEvent>

#include <algorithm>

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    resize(kWidth, kHeight);
    setMinimumSize(kWidth, kHeight);

    // Four empty panes; menu prompts never reach them (see event()).
    for (int i = 0; i < 4; ++i) {
        auto* pane = new QLabel(this);
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        if (i == 0)
            statusBar()->addWidget(pane, 1);
        else
            statusBar()->addPermanentWidget(pane);
        statusPanes_.append(pane);
    }

    createMenus();
    translateMenu(menuBar());

    splitter_ = new CExSplitterWnd(this);
    tree_ = new CLeftTreeView(splitter_);
    pane_ = new CPaneView(splitter_);
    splitter_->addWidget(tree_);
    splitter_->addWidget(pane_);
    splitter_->setMinimums(kTreeWidth, kPaneMinimum);
    // The bar is clamped by the splitter itself, not by the views' own sizes.
    tree_->setMinimumWidth(1);
    pane_->setMinimumWidth(1);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({kTreeWidth, kWidth - kTreeWidth});
    setCentralWidget(splitter_);

    tree_->setPane(pane_);
    connect(tree_, &CLeftTreeView::commandStateChanged, this, &CMainFrame::updateCommands);
    tree_->buildTree();
    // The slot list is shown from the start, before any tree item is
    // selected; it must not wait for the tree to get the focus.
    pane_->slotInfoView()->refresh();
    tree_->setFocus();
    updateCommands();

    setSlotEventTarget(SlotManager::instance(), this);
}

CMainFrame::~CMainFrame() {
    setSlotEventTarget(SlotManager::instance(), nullptr);
}

QAction* CMainFrame::addCommand(QMenu* menu, const char* text, int commandId,
                                const char* shortcut) {
    QAction* action = menu->addAction(QString::fromLatin1(text));
    setControlId(action, commandId);
    if (shortcut != nullptr) {
        action->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
        // Active whenever the window is, menu open or not.
        addAction(action);
    }
    connect(action, &QAction::triggered, this, [this, commandId] { onCommand(commandId); });
    commands_[commandId] = action;
    return action;
}

void CMainFrame::createMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    addCommand(file, "E&xit", command::kExit, nullptr);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    addCommand(view, "&Slot Info\tAlt+S", command::kSlotInfo, "Alt+S");
    // The text names Alt+H, but Alt+H opens the Help menu: no shortcut.
    addCommand(view, "&Hide Empty Slots\tAlt+H", command::kHideEmptySlots, nullptr)
        ->setCheckable(true);

    QMenu* operation = menuBar()->addMenu(QStringLiteral("&Operation"));
    addCommand(operation, "Login\tAlt+L", command::kLogin, "Alt+L");
    addCommand(operation, "Change Token Name\tAlt+N", command::kChangeTokenName, "Alt+N");
    addCommand(operation, "Change User PIN\tAlt+P", command::kChangeUserPin, "Alt+P");
    addCommand(operation, "Init Token\tAlt+I", command::kInitToken, "Alt+I");
    addCommand(operation, "Unblock Token\tAlt+B", command::kUnblockToken, "Alt+B");
    addCommand(operation, "Change SO PIN\tAlt+M", command::kChangeSoPin, "Alt+M");

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    addCommand(help, "&About Korvan PKI Manager...", command::kAbout, nullptr);

    for (QMenu* menu : {view, operation})
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::updateCommands);
}

QAction* CMainFrame::commandAction(int commandId) const {
    auto found = commands_.find(commandId);
    return found != commands_.end() ? found->second : nullptr;
}

void CMainFrame::setAdminOperations(AdminOperations* operations) {
    tree_->setAdminOperations(operations);
}

void CMainFrame::updateCommands() {
    bool canOperate = tree_->canOperate(false);
    for (int id : {command::kChangeTokenName, command::kChangeUserPin, command::kChangeSoPin,
                   command::kUnblockToken, command::kInitToken})
        commands_[id]->setEnabled(canOperate);
    commands_[command::kLogin]->setEnabled(tree_->canOperate(true));
    commands_[command::kHideEmptySlots]->setChecked(hideEmptySlots_);
}

void CMainFrame::onCommand(int commandId) {
    switch (commandId) {
    case command::kExit:
        close();
        return;
    case command::kAbout:
        emit aboutRequested();
        return;
    case command::kSlotInfo:
        pane_->showPane(CPaneView::kSlotInfo);
        tree_->selectItem(tree_->rootItem());
        return;
    case command::kHideEmptySlots:
        hideEmptySlots_ = !hideEmptySlots_;
        tree_->setHideEmptySlots(hideEmptySlots_);
        updateCommands();
        return;
    default:
        break;
    }
    // The shortcuts of a disabled action do not fire, but the rule is checked
    // here as well since the state may have changed since the menu was drawn.
    if (std::optional<Operation> operation = operationForCommand(commandId)) {
        if (tree_->canOperate(false))
            tree_->runOperation(static_cast<int>(*operation));
    }
}

namespace {

const char* const kSizeKey = "MainWindow/size";
const char* const kBarKey = "MainWindow/splitterPosition";

} // namespace

QString CMainFrame::layoutSettingsPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/korvanng/manager.conf");
}

void CMainFrame::restoreLayout() {
    QSettings settings(layoutSettingsPath(), QSettings::IniFormat);
    QSize size = settings.value(QLatin1String(kSizeKey)).toSize();
    if (size.isValid())
        resize(size.expandedTo(minimumSize()));
    bool known = false;
    const int bar = settings.value(QLatin1String(kBarKey)).toInt(&known);
    if (known) {
        // Within the bounds a drag keeps to, for the window's width.
        const int left = std::max(kTreeWidth, std::min(bar, width() - kPaneMinimum));
        splitter_->setSizes({left, std::max(0, width() - left)});
    }
}

void CMainFrame::saveLayout() const {
    QSettings settings(layoutSettingsPath(), QSettings::IniFormat);
    if (!isMaximized() && !isFullScreen())
        settings.setValue(QLatin1String(kSizeKey), size());
    settings.setValue(QLatin1String(kBarKey), splitter_->barPosition());
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    saveLayout();
    QMainWindow::closeEvent(event);
}

void CMainFrame::endRunningDialog() {
    CCertManagerFormView* certView = pane_->certManagerView();
    if (QDialog* dialog = certView->runningDialog.data()) {
        certView->runningDialog = nullptr;
        dialog->done(IDCANCEL);
    }
}

void CMainFrame::handleSlotEvent(CK_SLOT_ID slotId, CK_ULONG code) {
    SlotEventAction action = slotEventAction(slotId, code);
    switch (action) {
    case SlotEventAction::Ignore:
        return;
    case SlotEventAction::SlotChanged:
        tree_->onSlotChanged(slotId);
        endRunningDialog();
        break;
    case SlotEventAction::PinChanged:
    case SlotEventAction::LabelChanged:
    case SlotEventAction::TokenReinitialized: {
        // Every event arrives on this one thread, so only a nested event
        // loop inside a handling can bring the next one while it runs.
        if (handlingTokenChange_) {
            pendingTokenChanges_.emplace_back(slotId, code);
            return;
        }
        handlingTokenChange_ = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{handlingTokenChange_};
        handleTokenChange(slotId, action);
        while (!pendingTokenChanges_.empty()) {
            auto [pendingSlot, pendingCode] = pendingTokenChanges_.front();
            pendingTokenChanges_.pop_front();
            handleTokenChange(pendingSlot, slotEventAction(pendingSlot, pendingCode));
        }
        break;
    }
    }
    updateCommands();
}

void CMainFrame::handleTokenChange(CK_SLOT_ID slotId, SlotEventAction action) {
    if (action == SlotEventAction::PinChanged)
        tree_->onPinChanged(slotId);
    else if (action == SlotEventAction::LabelChanged)
        tree_->onLabelChanged(slotId);
    else if (action == SlotEventAction::TokenReinitialized)
        tree_->onTokenReinitialized(slotId);
}

bool CMainFrame::event(QEvent* event) {
    if (event->type() == SlotEvent::EventType) {
        auto* slotEvent = static_cast<SlotEvent*>(event);
        handleSlotEvent(slotEvent->slotId(), slotEvent->code());
        return true;
    }
    if (event->type() == QEvent::StatusTip) {
        // Menu prompts are suppressed: the message pane stays empty.
        statusBar()->clearMessage();
        return true;
    }
    return QMainWindow::event(event);
}
