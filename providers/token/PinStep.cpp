#include "providers/token/PinStep.h"

#include "providers/core/Error.h"
#include "providers/token/Identity.h"
#include "providers/token/PromptText.h"

#include "platform/win/UserWait.h"

#include <cstdlib>
#include <cstring>

namespace providers::token {
namespace {

// The serial of the token whose last PIN was wrong, so the next question says so.
std::string& wrongPinSerial() {
    static std::string serial;
    return serial;
}

// Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) on "..." + std::string.
std::string tokenName(const TokenDescription& token) {
    std::string name(1, '"');
    name.append(promptText(token.label, 64)).push_back('"');
    if (!token.serial.empty())
        name.append(" (serial ").append(promptText(token.serial, 32)).push_back(')');
    return name;
}

// Comes first, so that no text from the token can push it out of sight or reorder it.
std::string originLine() {
    const char* origin = std::getenv("KORVAN_CALLER_ORIGIN");
    if (!origin || !*origin)
        return {};
    return "Requested by " + promptOrigin(origin) + ".\n\n";
}

} // namespace

std::string pinWarning(CK_FLAGS tokenFlags, bool lastWasWrong) {
    if (tokenFlags & CKF_USER_PIN_FINAL_TRY)
        return "This is the last try: a wrong PIN now locks the token.";
    if (lastWasWrong)
        return "The PIN was wrong. Please try again.";
    if (tokenFlags & CKF_USER_PIN_COUNT_LOW)
        return "A wrong PIN was entered since the last login.";
    return {};
}

PinentryTexts pinTexts(const TokenDescription& token, const std::string& warning) {
    PinentryTexts texts;
    texts.title = providerIdentity().providerName;
    texts.description =
        originLine() + "Please enter the user PIN of the token " + tokenName(token) + ".";
    texts.prompt = "PIN:";
    texts.error = warning;
    return texts;
}

PinentryTexts pinPadTexts(const TokenDescription& token, const std::string& warning) {
    PinentryTexts texts;
    texts.title = providerIdentity().providerName;
    texts.description = originLine() + "Please enter the user PIN of the token " + tokenName(token) +
                        " on the PIN pad of its reader.";
    if (!warning.empty())
        texts.description += "\n" + warning;
    return texts;
}

PinentryTexts deletionTexts(const TokenDescription& token, const std::string& container,
                            const DeletedObjects& objects) {
    PinentryTexts texts;
    texts.title = providerIdentity().providerName;
    texts.description = originLine() + "Delete the key container \"" + promptText(container, 200) +
                        "\" from the token " + tokenName(token) + "?";
    if (objects.certificate && !objects.certificateName.empty())
        texts.description += "\nCertificate: " + promptText(objects.certificateName, 200) + ".";
    if (objects.keyPair && objects.certificate)
        texts.description += "\nIts key pair and certificate are destroyed for good.";
    else if (objects.keyPair)
        texts.description += "\nIts key pair is destroyed for good.";
    else if (objects.certificate)
        texts.description += "\nIts certificate is destroyed for good.";
    else
        texts.description += "\nIts objects are destroyed for good.";
    texts.okButton = "Delete";
    texts.cancelButton = "Cancel";
    return texts;
}

void runPinStep(TokenLink& link, std::uint64_t generation, bool silent, const char* givenPin) {
    if (link.loggedIn(generation))
        return;
    const TokenDescription token = link.describe(generation);
    if (token.flags & CKF_USER_PIN_LOCKED)
        providers::fail(SCARD_W_CHV_BLOCKED);

    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_RV rv = CKR_OK;
    SecurePin pin;
    if (!givenPin && (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH)) {
        if (silent)
            providers::fail(NTE_SILENT_CONTEXT);
        const bool lastWasWrong = !token.serial.empty() && wrongPinSerial() == token.serial;
        session = link.session(generation);
        // The PIN never reaches us: the reader takes it while the notice is up.
        PinentryNotice notice(pinPadTexts(token, pinWarning(token.flags, lastWasWrong)));
        KorvanUserWait wait;
        rv = link.functions()->C_Login(session, CKU_USER, nullptr, 0);
    } else {
        if (givenPin) {
            // strnlen stops one past the limit, so an overlong PIN is seen without reading further.
            const std::size_t length = strnlen(givenPin, maximumPinLength + 1);
            if (length > maximumPinLength)
                providers::fail(SCARD_W_WRONG_CHV);
            for (std::size_t i = 0; i < length; ++i)
                pin.append(givenPin[i]);
        } else {
            if (silent)
                providers::fail(NTE_SILENT_CONTEXT);
            const bool lastWasWrong = !token.serial.empty() && wrongPinSerial() == token.serial;
            switch (askPin(pinTexts(token, pinWarning(token.flags, lastWasWrong)), pin)) {
            case PinentryOutcome::Answered:
                break;
            case PinentryOutcome::Cancelled:
                providers::fail(SCARD_W_CANCELLED_BY_USER);
            case PinentryOutcome::Failed:
                providers::fail(NTE_FAIL);
            }
        }
        session = link.session(generation);
        rv = link.functions()->C_Login(session, CKU_USER, pin.data(), pin.size());
        pin.clear();
    }
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        if (wrongPinSerial() == token.serial)
            wrongPinSerial().clear();
        return;
    }
    if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_LEN_RANGE) {
        wrongPinSerial() = token.serial;
        // The wrong PIN that used up the last try is reported as the lock it caused.
        if (link.describe(generation).flags & CKF_USER_PIN_LOCKED)
            providers::fail(SCARD_W_CHV_BLOCKED);
    }
    link.fail(rv);
}

void confirmDeletion(const TokenDescription& token, const std::string& container,
                     const DeletedObjects& objects) {
    switch (askConfirmation(deletionTexts(token, container, objects))) {
    case PinentryOutcome::Answered:
        return;
    case PinentryOutcome::Cancelled:
        providers::fail(SCARD_W_CANCELLED_BY_USER);
    case PinentryOutcome::Failed:
        providers::fail(NTE_FAIL);
    }
}

} // namespace providers::token
