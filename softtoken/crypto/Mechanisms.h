#pragma once

#include "softtoken/crypto/Rsa.h"
#include "softtoken/crypto/Secure.h"

#include <memory>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

// Cryptographic operations with PKCS#11 semantics. Every output follows the
// two-call length rule: a null output pointer asks for the length (CKR_OK with
// *len set), a short buffer gives CKR_BUFFER_TOO_SMALL with *len set to what is
// needed; in both cases the operation stays usable and nothing is consumed.
// Any other result ends the operation; the module then discards the context.
namespace softtoken::crypto {

struct EvpMdCtxFree {
    void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
struct EvpPkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, EvpMdCtxFree>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, EvpPkeyCtxFree>;

// CKM_RSA_PKCS, CKM_{MD5,SHA1,SHA256,SHA384,SHA512}_RSA_PKCS, CKM_RSA_PKCS_PSS and
// CKM_SHA{256,384,512}_RSA_PKCS_PSS.
bool isSignMechanism(CK_MECHANISM_TYPE mechanism);
// Sign mechanisms that hash the data first, and so allow Update/Final.
bool isMultiPartSignMechanism(CK_MECHANISM_TYPE mechanism);
// CKM_RSA_PKCS and CKM_RSA_PKCS_OAEP.
bool isCipherMechanism(CK_MECHANISM_TYPE mechanism);
// CKM_MD5, CKM_SHA_1, CKM_SHA256, CKM_SHA384, CKM_SHA512.
bool isDigestMechanism(CK_MECHANISM_TYPE mechanism);
// The PSS and OAEP mechanisms, which need a parameter block; the others take none.
bool takesParameters(CK_MECHANISM_TYPE mechanism);

// create() results: CKR_OK, CKR_MECHANISM_INVALID, CKR_MECHANISM_PARAM_INVALID (a parameter
// block that is missing, has the wrong size or asks for what the mechanism or key cannot
// do), CKR_KEY_HANDLE_INVALID (null key), CKR_KEY_TYPE_INCONSISTENT (not RSA),
// CKR_KEY_SIZE_RANGE (modulus too small for the DigestInfo), CKR_HOST_MEMORY,
// CKR_FUNCTION_FAILED.
// What signing and verifying share: the mechanism and key checks, the hash context of the
// hashed mechanisms or the raw context of CKM_RSA_PKCS and CKM_RSA_PKCS_PSS, and the
// multi-part update.
class RsaSignatureContext {
public:
    CK_ULONG signatureLength() const noexcept { return modulusBytes_; }
    CK_MECHANISM_TYPE mechanism() const noexcept { return mechanism_; }
    bool multiPart() const noexcept { return md_ != nullptr; }

protected:
    // The OpenSSL calls that differ between the two uses.
    struct Use {
        int (*digestInit)(EVP_MD_CTX*, EVP_PKEY_CTX**, const EVP_MD*, ENGINE*, EVP_PKEY*);
        int (*digestUpdate)(EVP_MD_CTX*, const void*, size_t);
        int (*rawInit)(EVP_PKEY_CTX*);
    };
    static const Use kSign;
    static const Use kVerify;

    RsaSignatureContext() = default;
    ~RsaSignatureContext() = default;

    // Context is SignContext or VerifyContext; see create() for the results.
    template <class Context>
    static CK_RV make(const CK_MECHANISM& mechanism, PkeyPtr key, const Use& use,
                      std::unique_ptr<Context>& out);
    CK_RV update(const CK_BYTE* data, CK_ULONG len, const Use& use);
    // The checks both one-shot forms make before any work: no multi-part operation under
    // way, no missing buffer (argumentsBad adds the caller's own), raw input that fits.
    CK_RV checkOneShot(const CK_BYTE* data, CK_ULONG len, bool argumentsBad) const;

    CK_MECHANISM_TYPE mechanism_ = 0;
    const EVP_MD* md_ = nullptr; // null for the raw mechanisms
    PkeyPtr key_;
    MdCtxPtr mdCtx_;     // hash-and-sign
    PkeyCtxPtr pkeyCtx_; // raw RSA
    CK_ULONG modulusBytes_ = 0;
    CK_ULONG rawExactLen_ = 0; // raw PSS signs a digest of exactly this length
    bool updated_ = false;
};

class SignContext : public RsaSignatureContext {
public:
    static CK_RV create(const CK_MECHANISM& mechanism, PkeyPtr privateKey,
                        std::unique_ptr<SignContext>& out);
    // A mechanism without parameters.
    static CK_RV create(CK_MECHANISM_TYPE mechanism, PkeyPtr privateKey,
                        std::unique_ptr<SignContext>& out);

    // CKR_FUNCTION_NOT_SUPPORTED for raw CKM_RSA_PKCS, which has no multi-part form.
    CK_RV update(const CK_BYTE* data, CK_ULONG len);
    CK_RV final(CK_BYTE* sig, CK_ULONG* sigLen);
    // CKR_DATA_LEN_RANGE when raw CKM_RSA_PKCS data exceeds k - 11 bytes or raw
    // CKM_RSA_PKCS_PSS data is not one digest long; CKR_OPERATION_ACTIVE after update().
    CK_RV signOneShot(const CK_BYTE* data, CK_ULONG len, CK_BYTE* sig, CK_ULONG* sigLen);

private:
    friend class RsaSignatureContext;
    SignContext() = default;
};

// verify()/verifyOneShot() results: CKR_OK, CKR_SIGNATURE_INVALID,
// CKR_SIGNATURE_LEN_RANGE (length differs from the modulus), CKR_DATA_LEN_RANGE
// (raw data that does not fit the padding), CKR_FUNCTION_FAILED.
class VerifyContext : public RsaSignatureContext {
public:
    static CK_RV create(const CK_MECHANISM& mechanism, PkeyPtr publicKey,
                        std::unique_ptr<VerifyContext>& out);
    static CK_RV create(CK_MECHANISM_TYPE mechanism, PkeyPtr publicKey,
                        std::unique_ptr<VerifyContext>& out);

    CK_RV update(const CK_BYTE* data, CK_ULONG len);
    // Ends a multi-part verification.
    CK_RV verify(const CK_BYTE* sig, CK_ULONG sigLen);
    CK_RV verifyOneShot(const CK_BYTE* data, CK_ULONG len, const CK_BYTE* sig, CK_ULONG sigLen);

private:
    friend class RsaSignatureContext;
    VerifyContext() = default;
};

// CKM_RSA_PKCS and CKM_RSA_PKCS_OAEP encryption (public key) and decryption (private key);
// single-part only. Encrypt: CKR_DATA_LEN_RANGE when the input exceeds k - 11 bytes
// (OAEP: k - 2 * hash length - 2).
// Decrypt: CKR_ENCRYPTED_DATA_LEN_RANGE when the input is not k bytes,
// CKR_ENCRYPTED_DATA_INVALID when the padding does not check out.
class CipherContext {
public:
    enum class Direction { Encrypt, Decrypt };

    static CK_RV create(const CK_MECHANISM& mechanism, PkeyPtr key, Direction direction,
                        std::unique_ptr<CipherContext>& out);
    static CK_RV create(CK_MECHANISM_TYPE mechanism, PkeyPtr key, Direction direction,
                        std::unique_ptr<CipherContext>& out);

    CK_RV oneShot(const CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out, CK_ULONG* outLen);
    // Multi-part forms are not offered for RSA: CKR_FUNCTION_NOT_SUPPORTED.
    CK_RV update(const CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out, CK_ULONG* outLen);
    CK_RV final(CK_BYTE* out, CK_ULONG* outLen);

    Direction direction() const noexcept { return direction_; }
    CK_ULONG modulusBytes() const noexcept { return modulusBytes_; }

private:
    CipherContext() = default;
    CK_RV encrypt(const CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out, CK_ULONG* outLen);
    CK_RV decrypt(const CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out, CK_ULONG* outLen);

    CK_MECHANISM_TYPE mechanism_ = 0;
    Direction direction_ = Direction::Encrypt;
    PkeyPtr key_;
    PkeyCtxPtr pkeyCtx_;
    CK_ULONG modulusBytes_ = 0;
    CK_ULONG maxInput_ = 0; // longest plaintext the padding leaves room for
    // A decryption done to answer a length query is kept for the call that follows,
    // so the private-key operation runs once.
    bool havePlain_ = false;
    SecureBytes plain_;
    Bytes cipherText_;
};

class DigestContext {
public:
    // CKR_OK, CKR_MECHANISM_INVALID, CKR_HOST_MEMORY, CKR_FUNCTION_FAILED.
    static CK_RV create(CK_MECHANISM_TYPE mechanism, std::unique_ptr<DigestContext>& out);

    CK_RV update(const CK_BYTE* data, CK_ULONG len);
    CK_RV final(CK_BYTE* digest, CK_ULONG* digestLen);
    // CKR_OPERATION_ACTIVE after update() was called.
    CK_RV oneShot(const CK_BYTE* data, CK_ULONG len, CK_BYTE* digest, CK_ULONG* digestLen);

    CK_ULONG digestLength() const noexcept { return digestLen_; }
    CK_MECHANISM_TYPE mechanism() const noexcept { return mechanism_; }

private:
    DigestContext() = default;

    CK_MECHANISM_TYPE mechanism_ = 0;
    MdCtxPtr mdCtx_;
    CK_ULONG digestLen_ = 0;
    bool updated_ = false;
};

} // namespace softtoken::crypto
