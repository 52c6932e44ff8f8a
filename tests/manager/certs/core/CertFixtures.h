// Keys, certificates, PKCS#12 and PKCS#7 files made with OpenSSL at test time.
#pragma once

#include "CertCommon.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fixtures {

// Keys are made once per size and shared (each call returns a new reference).
certs::EvpPkeyPtr rsaKey(int bits = 2048, int index = 0);
certs::EvpPkeyPtr ecKey();
certs::EvpPkeyPtr ed25519Key();

struct Name {
    std::string cn, ou, o, email;
};

struct CertRecipe {
    Name subject{"Alice", "", "", ""};
    long notBeforeDays = -1; // relative to now
    long notAfterDays = 365;
    bool ca = false;
    long serial = 1;
    bool extensions = true;
};

// Signed by issuerKey as issuerCert (self-signed when issuerCert is null).
certs::X509Ptr makeCertificate(const CertRecipe& recipe, EVP_PKEY* subjectKey, EVP_PKEY* issuerKey,
                               X509* issuerCert = nullptr);
certs::X509Ptr selfSigned(const std::string& cn, EVP_PKEY* key, long serial = 1);

std::string pem(X509* certificate);

// Scrypt: the key bag under scrypt and AES, the certificate as Modern.
enum class Cipher { Modern, Legacy, None, Scrypt };
enum class Mac { Password, Absent, NullPassword, Sha1 };

struct Pkcs12Recipe {
    std::string password = "secret";
    bool nullPassword = false; // encrypt and MAC as "no password"
    Cipher cipher = Cipher::Modern;
    Mac mac = Mac::Password;
    bool nested = false;          // key and certificate inside a nested safe contents bag
    std::vector<X509*> chain;     // further certificates without the key's identifier
    bool chainFirst = false;      // the chain's bags come before the certificate's
    std::string certificateKeyId; // default: the key's identifier
    std::string keyKeyId;         // default: a digest of the public key
    bool keyWithoutId = false;
    struct {
        std::uint64_t n = 1024, r = 8, p = 1;
    } scrypt; // the key bag's cost with Cipher::Scrypt
};

Bytes makePkcs12(EVP_PKEY* key, X509* certificate, const Pkcs12Recipe& recipe = {});

// A signed-data bundle carrying the certificates (none for an empty list).
Bytes makePkcs7(const std::vector<X509*>& certificates);
Bytes makePkcs7Data(); // a bundle of type data: no certificates possible
std::string pemPkcs7(const Bytes& der);

void writeFile(const std::string& path, const Bytes& bytes);
void writeFile(const std::string& path, const std::string& text);
Bytes readFile(const std::string& path);

// Base64 of the bytes, in lines of `lineLength` characters (0: one line), joined by `eol`.
std::string base64(const Bytes& bytes, size_t lineLength, const std::string& eol = "\n");

} // namespace fixtures
