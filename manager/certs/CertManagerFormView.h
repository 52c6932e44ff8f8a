#pragma once

#include "ContainerModel.h"

#include <p11-kit/pkcs11.h>

#include <QDialog>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <functional>
#include <optional>

namespace Ui {
class CCertManagerFormView;
}
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

// The certificate view of the right-hand pane ("Your Certificates:"): the
// token's objects grouped into key containers, and Import, Export, View and
// Delete. The grouping, the button rules and the delete are the certificate
// core's; this class renders them and runs the dialogs.
class CCertManagerFormView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 144;

    explicit CCertManagerFormView(QWidget* parent = nullptr);
    ~CCertManagerFormView() override;

    // Rebuilds the tree for the slot; a slot that is gone changes nothing.
    void refresh(CK_SLOT_ID slotId);
    CK_SLOT_ID slotId() const { return slotId_; }

    // The logged-in mark of the navigation tree's selected item; nothing when
    // no item (or one without data) is selected. The main window installs it;
    // without one the slot's own login state counts.
    void setNavigationQuery(std::function<std::optional<bool>()> query);
    bool canModify() const { return canModify_; }

    void onImport();
    void onExport();
    void onView();
    void onDelete();

    // The modal dialog this view is running (import, export, object view),
    // if any; the main window ends it with IDCANCEL when a token is inserted
    // or removed. Cleared when the dialog returns.
    QPointer<QDialog> runningDialog;

    QTreeWidget* tree() const;
    QPushButton* importButton() const;
    QPushButton* exportButton() const;
    QPushButton* viewButton() const;
    QPushButton* deleteButton() const;
    const ContainerTree& model() const { return model_; }
    TreeSelection selection() const;
    void select(TreeSelection selection);

    // Before a login the view shows why it is empty and offers Login.
    QLabel* loginHint() const { return loginHint_; }
    QPushButton* loginButton() const { return loginButton_; }

signals:
    // The view's Login offer was taken: the main window logs the slot in.
    void loginRequested();
    // Tab left the view: the main window gives the focus to its navigation tree.
    void tabToNavigation();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void render();
    void updateButtons();
    void layoutControls();
    void fitButtons();
    void showLoginOffer(bool shown);
    int runDialog(QDialog& dialog);
    const TokenObjectInfo* selectedRecord() const;

    Ui::CCertManagerFormView* ui_;
    QLabel* loginHint_;
    QPushButton* loginButton_;
    QList<QIcon> images_;
    ContainerTree model_;
    CK_SLOT_ID slotId_ = 0;
    bool canModify_ = false;
    bool translated_ = false;
    std::function<std::optional<bool>()> navigationQuery_;
    // The template's geometries, the base of the layout on resize.
    QRect treeTemplate_;
    QRect importTemplate_;
    QRect exportTemplate_;
    QRect viewTemplate_;
    QRect deleteTemplate_;
};
