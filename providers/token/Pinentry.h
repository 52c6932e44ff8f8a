// The user's PIN and confirmations through a pinentry program, over the Assuan protocol.
//
// The program is KORVAN_PINENTRY, else `pinentry` from PATH. It is started with fork and exec (no
// shell) on a private socket pair as its standard input and output, with every other descriptor
// closed and without QT_QPA_PLATFORM in its environment, so a caller running offscreen still
// gets a visible dialog. One program run per question; it is always reaped.
#pragma once

#include "providers/token/SecurePin.h"

#include <memory>
#include <string>

namespace providers::token {

// The Assuan error code pinentry gives when the user cancels (GPG_ERR_CANCELED from pinentry).
inline constexpr unsigned long assuanCancelled = 83886179;
// Older pinentries answer a refused CONFIRM with GPG_ERR_NOT_CONFIRMED instead.
inline constexpr unsigned long assuanNotConfirmed = 83886194;
// GPG_ERR_TIMEOUT: pinentry's own SETTIMEOUT passed without an answer.
inline constexpr unsigned long assuanTimedOut = 83886142;

struct PinentryTexts {
    std::string title;
    std::string description;
    std::string prompt;      // GETPIN only
    std::string error;       // SETERROR when not empty (GETPIN only)
    std::string okButton;    // SETOK when not empty
    std::string cancelButton; // SETCANCEL when not empty
};

enum class PinentryOutcome {
    Answered,  // GETPIN: the PIN was given; CONFIRM: the user said yes
    Cancelled, // the user cancelled, said no to CONFIRM, or gave no answer within the wait limit
    Failed,    // the program is missing, broke the protocol, went silent before the question or
               // ended early
};

// Each question (GETPIN, CONFIRM) is announced to the process's user-wait observer for exactly
// its duration and lasts at most korvanUserWaitLimitSeconds(): pinentry gets that as SETTIMEOUT
// and our own read gives up a second later, should the program not report its timeout.

// GETPIN: on Answered `pin` holds the percent-decoded PIN (possibly empty).
PinentryOutcome askPin(const PinentryTexts& texts, SecurePin& pin);
// CONFIRM.
PinentryOutcome askConfirmation(const PinentryTexts& texts);

// A message shown while the user does something elsewhere (enters the PIN on a reader's pad):
// pinentry's MESSAGE, not waited for, and taken down when the notice goes. A program that cannot
// be started shows nothing; the caller goes on.
class PinentryNotice {
public:
    explicit PinentryNotice(const PinentryTexts& texts);
    ~PinentryNotice();
    PinentryNotice(const PinentryNotice&) = delete;
    PinentryNotice& operator=(const PinentryNotice&) = delete;

    bool shown() const { return state_ != nullptr; }

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Assuan's escaping of a command argument: '%', CR and LF as %25, %0D, %0A.
std::string assuanEscape(const std::string& text);

} // namespace providers::token
