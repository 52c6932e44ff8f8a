#include "ImportResult.h"

#include "Translator.h"

ImportResult createObjectFailure(CK_RV rv) {
    if (rv == CKR_DEVICE_MEMORY || rv == CKR_HOST_MEMORY)
        return ImportResult::NoSpace;
    if (rv <= static_cast<CK_RV>(ImportResult::KeyTypeRefused))
        return ImportResult::GeneralFailure;
    return importResultFromRv(rv);
}

ImportResultMessage importResultMessage(ImportResult result) {
    switch (result) {
    case ImportResult::Success:
        return {};
    case ImportResult::WrongPassword:
        return {5025, "Wrong password!"};
    case ImportResult::NoSpace:
        return {5026, "Not enough space!"};
    case ImportResult::FileNotFound:
        return {5027, "File not found!"};
    case ImportResult::NotSupported:
        return {5030, "Not supported certificate!"};
    case ImportResult::TokenRemoved:
        return {5020, "Token is removed!"};
    case ImportResult::KeySizeRefused:
        return {5031, "Only support 1024-bit RSA key pair!"};
    case ImportResult::KeyTypeRefused:
        return {5032, "Not supported certificate!"};
    case ImportResult::SessionInvalid:
        return {5034, "Invalid session handle due to other operation."};
    default:
        return {5015, "Unkown error!"};
    }
}

std::string importResultText(ImportResult result) {
    ImportResultMessage message = importResultMessage(result);
    if (message.id == 0)
        return {};
    return translate(message.id, message.defaultText);
}

int importResultExitCode(ImportResult result) {
    switch (result) {
    case ImportResult::Success:
    case ImportResult::WrongPassword:
    case ImportResult::NoSpace:
    case ImportResult::FileNotFound:
    case ImportResult::NotSupported:
    case ImportResult::GeneralFailure:
    case ImportResult::TokenRemoved:
    case ImportResult::KeySizeRefused:
    case ImportResult::KeyTypeRefused:
    case ImportResult::SessionInvalid:
        return static_cast<int>(result);
    }
    return static_cast<int>(ImportResult::GeneralFailure);
}
