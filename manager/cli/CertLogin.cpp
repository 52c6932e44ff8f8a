#include "CertLogin.h"

#include "LoginStep.h"
#include "Translator.h"

ExitCode loginUserForCertificates(CK_SLOT_ID slotId, PinInput& input, std::ostream& err) {
    std::optional<SecurePin> pin = input.read(translate(800, "User PIN:"));
    if (!pin) {
        if (input.fromStdin())
            err << toolText(10402, "A PIN is missing on standard input.") << '\n';
        else
            err << toolText(10403, "No terminal to read the PIN from; use --pin-stdin.") << '\n';
        return ExitBadInput;
    }
    if (!loginEnabled(readPinBounds(slotId), *pin)) {
        err << toolText(10404, "The PIN is shorter than the token's minimum.") << '\n';
        return ExitBadInput;
    }
    LoginOutcome outcome = runLoginStep(slotId, *pin);
    if (outcome.tokenRemoved)
        return ExitNoToken;
    return outcome.loggedIn ? ExitOk : ExitRefused;
}
