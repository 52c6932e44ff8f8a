#pragma once

// What the six administration dialogs share: setting up on first show,
// the wait cursor and locked buttons while the token works, reading PINs
// out of their edits without leaving copies behind, and the IDOK/IDCANCEL
// ends of the modal run.

#include "SecurePin.h"

#include <p11-kit/pkcs11.h>

#include <QDialog>

#include <initializer_list>
#include <string>
#include <vector>

class QLineEdit;
class QPushButton;

// From the operations (AdminContext.h). That header is included only by .cpp
// files, ahead of every Qt header: its member `slots` collides with Qt's
// keyword macro.
enum class DialogEnd;

class AdminDialog : public QDialog {
    Q_OBJECT
public:
    CK_SLOT_ID slotId() const { return slotId_; }

    // The modal run ends with these, as the caller reads them.
    static constexpr int kResultOk = 1;
    static constexpr int kResultCancel = 2;

    // Escape and closing the window end like the Cancel button.
    void reject() override;

protected:
    AdminDialog(CK_SLOT_ID slotId, QWidget* parent);

    // Runs once, when the dialog is first shown: reads the token's cached
    // state, translates, fills labels and limits.
    virtual void initDialog() = 0;
    void showEvent(QShowEvent* event) override;

    // Ends the modal run for an operation's end; StayOpen leaves it running.
    void finish(DialogEnd end);

    // The PIN edits, cleared when the dialog ends so their text does not
    // outlive it.
    void setSecretEdits(std::initializer_list<QLineEdit*> edits);
    void done(int result) override;

    // Disables the buttons and shows the wait cursor for one operation.
    class Busy {
    public:
        Busy(std::initializer_list<QPushButton*> buttons);
        ~Busy();
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;

    private:
        std::vector<QPushButton*> buttons_;
    };

private:
    CK_SLOT_ID slotId_;
    bool initialized_ = false;
    std::vector<QLineEdit*> secretEdits_;
};

// The edit's text as UTF-8 bytes, the form PKCS#11 takes a PIN in; the
// temporary copies are overwritten before they are freed.
SecurePin pinFromEdit(const QLineEdit* edit);
std::string utf8FromEdit(const QLineEdit* edit);

// A PIN edit limited to the token's maximum PIN length, and never beyond
// kMaxPinBytes characters (also when the token names no maximum: 0).
void limitPinEdit(QLineEdit* edit, CK_ULONG maximum);

// Overwrite and empty: for the temporaries that held a PIN.
void wipeBytes(QByteArray& bytes);
void wipeText(QString& text);
