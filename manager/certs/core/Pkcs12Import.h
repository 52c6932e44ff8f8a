#pragma once

// PKCS#12 import: reading the file and writing certificate, private key and
// public key as one key container, all or nothing. Also the duplicate test
// and the certificate object that the .cer and .p7b imports write.

#include "CertCommon.h"
#include "ImportResult.h"
#include "Pkcs12WorkCap.h"

#include <string>
#include <vector>

// What LoadPkcs12 takes from a file: the RSA private key and the certificate
// whose local key identifier matches it.
struct Pkcs12Contents {
    certs::EvpPkeyPtr key;
    certs::X509Ptr certificate;
};

// Reads a PKCS#12 file. 3 when the file cannot be read, 4 when it is no
// PKCS#12 structure, holds no RSA key with its certificate, or the
// certificate does not carry the key's public half; 1 when the MAC or a bag
// does not open with the password. An empty password is tried as absent,
// then as the empty string; a file without MAC is read as well. A file whose
// key derivations pass Pkcs12WorkCap's limits, or use one it does not know,
// is 4, refused before any derivation runs where its parameters are visible.
ImportResult LoadPkcs12(const std::string& path, const std::string& password, Pkcs12Contents& out);
// The same over bytes already in memory.
ImportResult LoadPkcs12Bytes(const Bytes& der, const std::string& password, Pkcs12Contents& out);

// Largest file any importer reads; tokens hold a few kilobytes.
inline constexpr size_t kMaxImportFileSize = 16 * 1024 * 1024;

// The whole file into memory, for every importer. FileNotFound when it cannot
// be opened or read, NotSupported when it is larger than kMaxImportFileSize.
ImportResult ReadImportFile(const std::string& path, Bytes& content);

// True when `der` equals an entry of the list (length and bytes).
bool IsKnownCertificate(const Bytes& der, const std::vector<Bytes>& knownCertificates);

// Proceed (true) unless `der` equals an entry of `knownCertificates` and the
// prompter answers No to message 5033. A null prompter cannot answer and
// counts as No.
bool CheckDuplicateCertificate(const Bytes& der, const std::vector<Bytes>& knownCertificates,
                               Prompter* prompter);

struct CertificateObjectResult {
    CK_RV rv = CKR_OK;        // C_CreateObject's result; CKR_OK otherwise
    bool duplicate = false;   // the certificate was known: the question was asked
    bool declined = false;    // ... and answered No
    bool unsupported = false; // the certificate could not be encoded
    std::string label;
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE; // valid only when created
    bool created() const { return handle != CK_INVALID_HANDLE && rv == CKR_OK; }
};

// Writes the certificate as a token object with the eleven attributes
// CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_CERTIFICATE_TYPE,
// CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_VALUE, CKA_ID and
// CKA_CONTAINER_NAME, in this order, after the duplicate test.
CertificateObjectResult
CreateCertificateObject(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session, X509* certificate,
                        const Bytes& idBytes, const std::string& containerName,
                        const std::vector<Bytes>& knownCertificates, Prompter* prompter);

struct KeyObjectResult {
    CK_RV rv = CKR_OK;   // C_CreateObject's result
    bool failed = false; // a step before C_CreateObject failed (no CK_RV)
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    bool created() const { return !failed && rv == CKR_OK && handle != CK_INVALID_HANDLE; }
};

// The parts of one key object that the certificate gives.
struct KeyObjectLabels {
    std::string label;
    Bytes idBytes;
    std::string containerName;
};

// RSA private key with nineteen attributes. A key that fails the RSA key
// check gets its private exponent recomputed as e^-1 mod (p-1)(q-1) first.
KeyObjectResult CreatePrivateKeyObject(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                                       EVP_PKEY* key, const X509* certificate,
                                       const KeyObjectLabels& labels, KeyUsage usage);

// RSA public key with thirteen attributes; modulus and exponent lengths from
// the certificate's key, bytes from the private key of the pair.
KeyObjectResult CreatePublicKeyObject(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                                      EVP_PKEY* key, const X509* certificate,
                                      const KeyObjectLabels& labels, KeyUsage usage);

struct ImportOutcome {
    ImportResult result = ImportResult::GeneralFailure;
    bool declined = false;
};

// Maps the failing CK_RV of a PKCS#12 import to its result; CKR_OK (a step
// failed before the token was asked) means the file holds no usable key.
ImportResult pkcs12ResultFromRv(CK_RV rv);

// The whole PKCS#12 import: a fresh identifier, LoadPkcs12, then certificate,
// private key and public key. Anything short of all three destroys what was
// written. A declined duplicate gives a non-zero result with `declined` set.
// With the name kept in CKA_ID the container name is the identifier.
ImportOutcome ImportPkcs12File(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                               const std::string& path, const std::string& password,
                               const std::vector<Bytes>& knownCertificates,
                               const std::string& containerName, KeyUsage usage,
                               Prompter* prompter,
                               ContainerNameAttribute where = ContainerNameAttribute::Vendor);
