// How CryptUIDlgViewCertificateA puts its dialog on the screen. Only the platform and tests
// use this: a test installs a presenter that looks at the dialog and closes it, so the call
// runs offscreen without waiting for a user.
#pragma once

class QDialog;

namespace crypto {

// Runs the dialog modally and returns its result; the default is QDialog::exec(). The run is
// announced as a wait for the user, and the dialog is rejected once korvanUserWaitLimitSeconds()
// have passed in its event loop.
using CertificateDialogPresenter = int (*)(QDialog& dialog);

// Installs a presenter (null restores the default) and returns the one it replaced.
CertificateDialogPresenter setCertificateDialogPresenter(CertificateDialogPresenter presenter);

} // namespace crypto
