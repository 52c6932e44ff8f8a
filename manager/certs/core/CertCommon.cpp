#include "CertCommon.h"

#include "TokenLibrary.h"
#include "platform/Guid.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <utility>

void WipePassword(std::string& text) {
    if (text.capacity() > 0)
        OPENSSL_cleanse(text.data(), text.capacity());
    text.clear();
}

namespace {

ContainerNameResult freshContainerName() {
    ContainerNameResult result;
    result.name = platform::newGuidText();
    if (result.name.size() != 36) {
        result.name.clear();
        return result;
    }
    result.rv = CKR_OK;
    return result;
}

} // namespace

ContainerNameResult MakeContainerName(const TokenLibrary& library) {
    if (library.auxFunctions() == nullptr)
        return {};
    return freshContainerName();
}

ImportContainerName MakeImportContainerName(const TokenLibrary& library) {
    if (library.auxFunctions() != nullptr)
        return {MakeContainerName(library), ContainerNameAttribute::Vendor};
    // Without a name there is nothing to keep in CKA_ID: the import then
    // writes its own identifiers, as with a name it could not make.
    ContainerNameResult name = freshContainerName();
    bool made = name.rv == CKR_OK;
    return {std::move(name), made ? ContainerNameAttribute::Id : ContainerNameAttribute::Vendor};
}

ContainerNameResult MakeContainerName() {
    return MakeContainerName(TokenLibrary::instance());
}

namespace {

std::string entryText(const X509_NAME* name, int nid) {
    int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0)
        return {};
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
    if (data == nullptr)
        return {};
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0)
        return {};
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

} // namespace

std::string SimpleDisplayName(const X509_NAME* name) {
    if (name == nullptr)
        return {};
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                    NID_pkcs9_emailAddress}) {
        std::string text = entryText(name, nid);
        if (!text.empty())
            return text;
    }
    return {};
}

std::string MakeCertificateLabel(const X509* certificate) {
    return SimpleDisplayName(X509_get_subject_name(certificate)) + "'s " +
           SimpleDisplayName(X509_get_issuer_name(certificate)) + " ID";
}

CK_RV ReadAttributeValue(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                         CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes& value) {
    value.clear();
    CK_ULONG length = 0;
    CK_RV rv = readAttributeLength(functions, session, object, type, length);
    if (rv != CKR_OK)
        return rv;
    if (length == 0)
        return CKR_OK;
    if (length > kMaxAttributeLength)
        return CKR_GENERAL_ERROR;
    value.resize(length);
    CK_ATTRIBUTE attribute{type, value.data(), length};
    rv = functions->C_GetAttributeValue(session, object, &attribute, 1);
    if (rv != CKR_OK) {
        value.clear();
        return rv;
    }
    // A value that grew between the calls would not have fit: the token says so.
    if (attribute.ulValueLen > value.size()) {
        value.clear();
        return CKR_GENERAL_ERROR;
    }
    value.resize(attribute.ulValueLen);
    return CKR_OK;
}

CK_RV ReadCertificateValue(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                           CK_OBJECT_HANDLE object, Bytes& value) {
    return ReadAttributeValue(functions, session, object, CKA_VALUE, value);
}

CK_RV ReadCertificateValueInOwnSession(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId,
                                       CK_OBJECT_HANDLE object, Bytes& value) {
    value.clear();
    if (functions == nullptr)
        return CKR_GENERAL_ERROR;
    ScopedSession session(functions, slotId);
    if (session.result() != CKR_OK)
        return session.result();
    return ReadCertificateValue(functions, session.handle(), object, value);
}

certs::X509Ptr DecodeCertificateDer(const Bytes& der) {
    const unsigned char* p = der.data();
    certs::X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (certificate && p != der.data() + der.size())
        certificate.reset();
    return certificate;
}

Bytes EncodeCertificateDer(const X509* certificate) {
    int length = i2d_X509(certificate, nullptr);
    if (length <= 0)
        return {};
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    if (i2d_X509(certificate, &p) != length)
        return {};
    return der;
}

bool CertificateValidAt(const X509* certificate, std::time_t now) {
    const ASN1_TIME* notBefore = X509_get0_notBefore(certificate);
    const ASN1_TIME* notAfter = X509_get0_notAfter(certificate);
    if (notBefore == nullptr || notAfter == nullptr)
        return false;
    // X509_cmp_time: -1 when the time is before `now`, 1 after, 0 on error.
    return X509_cmp_time(notBefore, &now) < 0 && X509_cmp_time(notAfter, &now) > 0;
}

ScopedSession::ScopedSession(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId)
    : functions_(functions) {
    if (functions_ == nullptr)
        return;
    rv_ = functions_->C_OpenSession(slotId, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr,
                                    &session_);
    if (rv_ != CKR_OK)
        session_ = CK_INVALID_HANDLE;
}

ScopedSession::~ScopedSession() {
    if (rv_ == CKR_OK && functions_ != nullptr)
        functions_->C_CloseSession(session_);
}
