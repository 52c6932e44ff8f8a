#include "Pkcs12Import.h"

#include "platform/DebugOutput.h"
#include "platform/Guid.h"

ImportResult pkcs12ResultFromRv(CK_RV rv) {
    switch (rv) {
    case CKR_KEY_TYPE_INCONSISTENT:
        return ImportResult::KeyTypeRefused;
    case CKR_MECHANISM_PARAM_INVALID:
        return ImportResult::KeySizeRefused;
    case CKR_PIN_INCORRECT:
        return ImportResult::WrongPassword;
    case CKR_SESSION_HANDLE_INVALID:
        return ImportResult::SessionInvalid;
    case CKR_OK:
        // A step failed before anything reached the token: the file's key
        // or certificate cannot be used.
        return ImportResult::NotSupported;
    default:
        return createObjectFailure(rv);
    }
}

ImportOutcome ImportPkcs12File(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                               const std::string& path, const std::string& password,
                               const std::vector<Bytes>& knownCertificates,
                               const std::string& containerName, KeyUsage usage,
                               Prompter* prompter, ContainerNameAttribute where) {
    ImportOutcome outcome;
    const bool nameInId = where == ContainerNameAttribute::Id;
    std::string id = nameInId ? containerName : platform::newGuidText();
    if (id.size() != 36 || functions == nullptr)
        return outcome; // GeneralFailure
    const std::string vendorName = nameInId ? std::string() : containerName;

    Pkcs12Contents contents;
    outcome.result = LoadPkcs12(path, password, contents);
    if (outcome.result != ImportResult::Success)
        return outcome;

    KeyObjectLabels labels;
    labels.idBytes.assign(id.begin(), id.end());
    labels.containerName = vendorName;

    std::vector<CK_OBJECT_HANDLE> written;
    CK_RV failure = CKR_OK;
    CertificateObjectResult certificate =
        CreateCertificateObject(functions, session, contents.certificate.get(), labels.idBytes,
                                vendorName, knownCertificates, prompter);
    outcome.declined = certificate.declined;
    failure = certificate.rv;
    if (certificate.created()) {
        written.push_back(certificate.handle);
        labels.label = certificate.label;
        KeyObjectResult privateKey = CreatePrivateKeyObject(
            functions, session, contents.key.get(), contents.certificate.get(), labels, usage);
        failure = privateKey.rv;
        if (privateKey.created()) {
            written.push_back(privateKey.handle);
            KeyObjectResult publicKey = CreatePublicKeyObject(
                functions, session, contents.key.get(), contents.certificate.get(), labels, usage);
            failure = publicKey.rv;
            if (publicKey.created()) {
                outcome.result = ImportResult::Success;
                return outcome;
            }
        }
    }
    // All or nothing: no half container stays on the token.
    for (auto handle = written.rbegin(); handle != written.rend(); ++handle)
        functions->C_DestroyObject(session, *handle);
    platform::debugOutputf("P12 Error ret 0x%0lx", static_cast<unsigned long>(failure));
    outcome.result = pkcs12ResultFromRv(failure);
    return outcome;
}
