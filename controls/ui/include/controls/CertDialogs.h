// The certificate choice dialogs the scans run when two or more certificates qualify: the
// 64-bit control's CCertSelect and CCertSelect_TQB (template 201, picked by name) and the
// 32-bit control's CCertSelect32 (picked by list position). Each is a CertChoiceDialog the
// flows call; the Qt dialog exists only during one run. A run is announced as a wait for the user
// and ends as a cancel once korvanUserWaitLimitSeconds() pass without a decision.
#pragma once

#include "controls/CertFlows.h"

#include <QString>

class QDialog;
class QWidget;

namespace certdialogs {

// One message box of the dialogs: a plain box, no icon and an OK button only (MB_OK), captioned
// "Error" as the platform's message box is when it is given no caption.
inline constexpr unsigned kMessageOk = 0; // MB_OK
struct Message {
    QString caption;
    QString text;
    unsigned flags = kMessageOk;
};

// Shows a message box. Tests replace it to see the messages without a user.
using MessagePresenter = void (*)(QWidget* parent, const Message& message);
MessagePresenter setMessagePresenter(MessagePresenter presenter); // null: the default box

// Runs a choice dialog modally and returns its result; the default is QDialog::exec(). Tests
// replace it to press the dialog's buttons.
using DialogRunner = int (*)(QDialog& dialog);
DialogRunner setDialogRunner(DialogRunner runner); // null: exec()

// A QApplication for hosts that have none (a control inside a non-Qt automation client); false
// when there is none and no display to make one on (see DisplayProbe.h), and when the host's
// application cannot show widgets.
bool ensureApplication();

// Whether ensureApplication() made the process's application. Such a module must stay loaded
// for the life of the host: the application's arguments and the code Qt calls back live in it,
// and Qt has no way to give them back.
bool applicationMadeHere();

// The 64-bit control's dialogs, on the calling family's state; names are ANSI in `codePage`.
class CCertSelect : public certflows::CertChoiceDialog {
public:
    explicit CCertSelect(UINT codePage = CP_THREAD_ACP) : codePage_(codePage) {}
    void run(certflows::CertFamilyState& state) override;

protected:
    virtual certflows::MarkerFilter filter() const { return certflows::MarkerFilter::Exclude; }

private:
    UINT codePage_;
};

class CCertSelect_TQB : public CCertSelect {
public:
    using CCertSelect::CCertSelect;

protected:
    certflows::MarkerFilter filter() const override { return certflows::MarkerFilter::Require; }
};

// The 32-bit control's dialog.
class CCertSelect32 : public certflows::CertChoiceDialog {
public:
    explicit CCertSelect32(UINT codePage = CP_ACP) : codePage_(codePage) {}
    void run(certflows::CertFamilyState& state) override;

private:
    UINT codePage_;
};

// The control ids, kept on each widget as its objectName and as the property "controlId".
inline constexpr int IDD_CERTSELECT = 201;

} // namespace certdialogs
