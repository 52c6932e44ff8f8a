#pragma once

// Certificate files: X.509 (.cer, DER or base64 text) and PKCS#7 bundles
// (.p7b), and the export of a certificate object to a file.

#include "CertCommon.h"
#include "ImportResult.h"

#include <string>
#include <vector>

enum class FileEncoding { Der = 1, Text = 2, Unreadable = 3 };

// DER when the bytes start a DER (or BER) SEQUENCE: 0x30 and then a
// short-form, long-form or indefinite length. Anything else is text.
FileEncoding DetectEncoding(const unsigned char* head, size_t length);
// The same from the first bytes of a file; Unreadable when it cannot be read.
FileEncoding DetectFileEncoding(const std::string& path);

// Base64 text as it may come (with or without armour, any line length)
// turned into a PEM certificate with 64-character lines.
std::string NormalizePemText(const std::string& text);

// Decoders over file content. `result` is 4 when the content is not one.
certs::X509Ptr DecodeCertificateFile(const Bytes& content, FileEncoding encoding,
                                     ImportResult& result);
certs::Pkcs7Ptr DecodePkcs7File(const Bytes& content, FileEncoding encoding, ImportResult& result);

// The certificates of a signed (or signed-and-enveloped) PKCS#7 bundle, in order;
// empty for any other type.
std::vector<X509*> Pkcs7Certificates(PKCS7* bundle);

// One import of one X.509 file into one container; certificate id "hello",
// or the container name where that is kept in CKA_ID.
class CCertFileImporter {
public:
    CCertFileImporter(std::vector<Bytes> knownCertificates, Prompter* prompter);

    ImportResult import(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                        CK_ULONG freePublicSpace, const std::string& path,
                        const std::string& containerName,
                        ContainerNameAttribute where = ContainerNameAttribute::Vendor);
    // Set when the duplicate question was answered No; the result is then 0.
    bool declined() const { return declined_; }

private:
    std::vector<Bytes> knownCertificates_;
    Prompter* prompter_;
    certs::X509Ptr certificate_;
    bool declined_ = false;
};

// One import of every certificate of a PKCS#7 bundle into one container.
// The first failing certificate ends the import; those before it stay.
class CP7bFileImporter {
public:
    CP7bFileImporter(std::vector<Bytes> knownCertificates, Prompter* prompter);

    ImportResult import(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                        CK_ULONG freePublicSpace, const std::string& path,
                        const std::string& containerName,
                        ContainerNameAttribute where = ContainerNameAttribute::Vendor);
    // Set when the last duplicate question was answered No.
    bool declined() const { return declined_; }
    // How many certificates this import wrote.
    size_t written() const { return written_; }

private:
    std::vector<Bytes> knownCertificates_;
    Prompter* prompter_;
    certs::Pkcs7Ptr bundle_;
    bool declined_ = false;
    size_t written_ = 0;
};

// True when a file name holds a wildcard ('*' or '?'): such a name is a
// pattern a save dialog offers, never a file to write.
bool FileNameHasWildcards(const std::string& name);

// Writes the certificate object's CKA_VALUE, unchanged, to `path`, read in a
// session of its own. CKR_OK when the file was written; CKR_GENERAL_ERROR
// when it could not be (no partial file is left), and CKR_ARGUMENTS_BAD,
// before anything is read, for a file name with wildcards.
CK_RV ExportCertificate(CK_FUNCTION_LIST* functions, CK_SLOT_ID slotId, CK_OBJECT_HANDLE handle,
                        const std::string& path);
