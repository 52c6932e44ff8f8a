#pragma once

#include <p11-kit/pkcs11.h>

#include <QMainWindow>

#include <deque>
#include <map>
#include <utility>

class AdminOperations;
enum class SlotEventAction;
class CExSplitterWnd;
class CLeftTreeView;
class CPaneView;
class QAction;
class QLabel;
class QMenu;

// The manager's main window: menus, a status bar, and a splitter with the
// navigation tree on the left and the switching pane on the right. Slot
// events from the monitor arrive here as SlotEvent.
class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kWidth = 630;
    static constexpr int kHeight = 440;
    static constexpr int kTreeWidth = 190;
    static constexpr int kPaneMinimum = 420;

    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    CLeftTreeView* tree() const { return tree_; }
    CPaneView* pane() const { return pane_; }
    CExSplitterWnd* splitter() const { return splitter_; }
    // A main-menu action by its command id, or null.
    QAction* commandAction(int commandId) const;
    QList<QLabel*> statusPanes() const { return statusPanes_; }

    bool hideEmptySlots() const { return hideEmptySlots_; }
    void setAdminOperations(AdminOperations* operations);

    // Brings the enabled states and the check mark of the menu up to date.
    void updateCommands();

    // The window size and the splitter position the user chose last time,
    // from the user's settings ($XDG_CONFIG_HOME/korvanng/manager.conf);
    // without them, or below the minimums, the first size stays. Closing the
    // window stores them again.
    void restoreLayout();
    void saveLayout() const;
    static QString layoutSettingsPath();

    // The handling of one slot event (what event() does with a SlotEvent).
    void handleSlotEvent(CK_SLOT_ID slotId, CK_ULONG code);

signals:
    void aboutRequested();

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void createMenus();
    QAction* addCommand(QMenu* menu, const char* text, int commandId, const char* shortcut);
    void onCommand(int commandId);
    void endRunningDialog();
    void handleTokenChange(CK_SLOT_ID slotId, SlotEventAction action);

    CExSplitterWnd* splitter_ = nullptr;
    CLeftTreeView* tree_ = nullptr;
    CPaneView* pane_ = nullptr;
    QList<QLabel*> statusPanes_;
    std::map<int, QAction*> commands_;
    bool hideEmptySlots_ = false;
    // One PIN, label or re-initialization event is handled at a time. One
    // that arrives meanwhile (a nested event loop inside the handling) waits
    // here and is handled right after the running one.
    bool handlingTokenChange_ = false;
    std::deque<std::pair<CK_SLOT_ID, CK_ULONG>> pendingTokenChanges_;
};
