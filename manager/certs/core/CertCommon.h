#pragma once

// Routines every certificate operation shares: container names, certificate
// labels, key usage, attribute reads and the question the imports and the
// delete ask. No toolkit: the Qt views and korvanng-tool both build on this.

#include "AttributeRead.h"
#include "OpenSslPtr.h"

#include <korvan/vendor_aux.h>

#include <ctime>
#include <string>
#include <vector>

class TokenLibrary;

using Bytes = std::vector<unsigned char>;

// Key usage of an imported key pair: which of decrypt/sign (private key) and
// encrypt/verify (public key) are set. The manager's own import passes UsageBoth.
enum KeyUsage { UsageBoth = 0, UsageEncrypt = 1, UsageSign = 2 };

// The Yes/No questions of the certificate operations ("The certificate already
// exists, continue?", "Are you sure to delete it?"). The dialogs answer through
// the message presenter, korvanng-tool from its options or the terminal, tests
// from a script. True means Yes.
class Prompter {
public:
    virtual ~Prompter() = default;
    virtual bool confirm(int messageId, const char* defaultText) = 0;
};

struct ContainerNameResult {
    CK_RV rv = CKR_GENERAL_ERROR;
    std::string name; // 36 upper-case characters on success, else empty
};

// A fresh container name: a random GUID in the Windows text form. Fails with
// CKR_GENERAL_ERROR when the library's vendor table is not bound.
ContainerNameResult MakeContainerName(const TokenLibrary& library);
ContainerNameResult MakeContainerName();

// Where an import keeps its container name: in the vendor attribute, or, on
// a module without the vendor table (which takes no vendor attribute), as
// the objects' CKA_ID. SlotEntry::loadObjects() reads it back from either.
enum class ContainerNameAttribute { Vendor, Id };

struct ImportContainerName {
    ContainerNameResult name;
    ContainerNameAttribute where = ContainerNameAttribute::Vendor;
};

// An import's container name: MakeContainerName() where the vendor table is
// bound, else a fresh name of the same form kept in CKA_ID.
ImportContainerName MakeImportContainerName(const TokenLibrary& library);

// Overwrites a string's whole buffer (not only its current length) and
// empties it; for passwords that have to pass through std::string.
void WipePassword(std::string& text);

// The first of common name, organizational unit, organization and e-mail
// address found in the name; empty when it has none of them.
std::string SimpleDisplayName(const X509_NAME* name);

// "<subject>'s <issuer> ID" from the two simple display names.
std::string MakeCertificateLabel(const X509* certificate);

// Two-call C_GetAttributeValue of one attribute: the length first, then the
// bytes. An "unavailable" length counts as CKR_ATTRIBUTE_TYPE_INVALID; a
// length above kMaxAttributeLength as CKR_GENERAL_ERROR.
CK_RV ReadAttributeValue(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                         CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, Bytes& value);

// CKA_VALUE of a certificate object, in the given session.
CK_RV ReadCertificateValue(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                           CK_OBJECT_HANDLE object, Bytes& value);

// The same in a read/write session of its own, opened and closed here.
CK_RV ReadCertificateValueInOwnSession(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId,
                                       CK_OBJECT_HANDLE object, Bytes& value);

// An X.509 certificate decoded from exactly these DER bytes; null when they
// are not one (trailing bytes included).
certs::X509Ptr DecodeCertificateDer(const Bytes& der);

// DER encoding of the certificate; empty on failure.
Bytes EncodeCertificateDer(const X509* certificate);

// True when `now` lies inside the certificate's validity period.
bool CertificateValidAt(const X509* certificate, std::time_t now);

// A session opened with C_OpenSession(slot, RW | SERIAL) and closed when the
// guard goes away.
class ScopedSession {
public:
    ScopedSession(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId);
    ~ScopedSession();
    ScopedSession(const ScopedSession&) = delete;
    ScopedSession& operator=(const ScopedSession&) = delete;

    CK_RV result() const { return rv_; }
    CK_SESSION_HANDLE handle() const { return session_; }

private:
    CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    CK_RV rv_ = CKR_GENERAL_ERROR;
};
