#pragma once

#include <p11-kit/pkcs11.h>

#include <QDialog>
#include <QPointer>
#include <QWidget>

class QListWidget;

// The certificate view of the right-hand pane. For now it lists the objects
// on the slot's token as the slot model enumerates them; grouping by key
// container and the certificate operations come later.
class CCertManagerFormView : public QWidget {
    Q_OBJECT
public:
    explicit CCertManagerFormView(QWidget* parent = nullptr);

    // Re-enumerates the slot's token objects and shows them.
    void refresh(CK_SLOT_ID slotId);
    CK_SLOT_ID slotId() const { return slotId_; }

    QListWidget* objectList() const { return list_; }

    // The modal dialog this view is running, if any; the main window ends it
    // with IDCANCEL when a token is inserted or removed. Cleared by itself
    // when the dialog goes away.
    QPointer<QDialog> runningDialog;

private:
    CK_SLOT_ID slotId_ = 0;
    QListWidget* list_;
};

// One line of the object list: handle, class and (for data objects) label.
std::string objectLineText(CK_OBJECT_HANDLE handle, CK_OBJECT_CLASS objectClass,
                           const std::string& label);
