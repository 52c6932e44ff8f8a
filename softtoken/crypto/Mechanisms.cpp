#include "softtoken/crypto/Mechanisms.h"

#include "softtoken/crypto/ErrorMark.h"
#include "softtoken/crypto/PreparedContexts.h"
#include "softtoken/crypto/RsaPadding.h"

#include <cstring>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/rsa.h>

namespace softtoken::crypto {
namespace {

// PKCS#1 v1.5 type 1 and type 2 padding need at least 11 bytes.
constexpr CK_ULONG kPkcs1Overhead = 11;

struct HashInfo {
    const EVP_MD* md;
    CK_ULONG digestInfoLen; // DER DigestInfo: algorithm prefix plus the digest
};

// EVP_md5() and friends return static descriptors; no fetch is freed per use.
bool hashForSign(CK_MECHANISM_TYPE mechanism, HashInfo& out) {
    switch (mechanism) {
    case CKM_MD5_RSA_PKCS:
        out = {EVP_md5(), 18 + 16};
        return true;
    case CKM_SHA1_RSA_PKCS:
        out = {EVP_sha1(), 15 + 20};
        return true;
    case CKM_SHA256_RSA_PKCS:
        out = {EVP_sha256(), 19 + 32};
        return true;
    case CKM_SHA384_RSA_PKCS:
        out = {EVP_sha384(), 19 + 48};
        return true;
    case CKM_SHA512_RSA_PKCS:
        out = {EVP_sha512(), 19 + 64};
        return true;
    default:
        return false;
    }
}

// The PSS mechanisms that hash the data themselves.
const EVP_MD* hashForPss(CK_MECHANISM_TYPE mechanism) {
    switch (mechanism) {
    case CKM_SHA256_RSA_PKCS_PSS:
        return EVP_sha256();
    case CKM_SHA384_RSA_PKCS_PSS:
        return EVP_sha384();
    case CKM_SHA512_RSA_PKCS_PSS:
        return EVP_sha512();
    default:
        return nullptr;
    }
}

const EVP_MD* hashForDigest(CK_MECHANISM_TYPE mechanism) {
    switch (mechanism) {
    case CKM_MD5:
        return EVP_md5();
    case CKM_SHA_1:
        return EVP_sha1();
    case CKM_SHA256:
        return EVP_sha256();
    case CKM_SHA384:
        return EVP_sha384();
    case CKM_SHA512:
        return EVP_sha512();
    default:
        return nullptr;
    }
}

enum class LengthCheck { Proceed, Answered };

// The two-call length rule shared by every output.
CK_RV checkLength(CK_BYTE* out, CK_ULONG* outLen, CK_ULONG needed, LengthCheck& check) {
    check = LengthCheck::Answered;
    if (outLen == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    if (out == nullptr) {
        *outLen = needed;
        return CKR_OK;
    }
    if (*outLen < needed) {
        *outLen = needed;
        return CKR_BUFFER_TOO_SMALL;
    }
    check = LengthCheck::Proceed;
    return CKR_OK;
}

// Common key checks; returns the modulus length through k.
CK_RV checkRsaKey(const PkeyPtr& key, CK_ULONG& k) {
    if (!key) {
        return CKR_KEY_HANDLE_INVALID;
    }
    k = rsaModulusBytes(key.get());
    if (k == 0) {
        return CKR_KEY_TYPE_INCONSISTENT;
    }
    return CKR_OK;
}

// A raw RSA context with the given padding; init is EVP_PKEY_sign_init and friends.
PkeyCtxPtr rawContext(const PkeyPtr& key, int (*init)(EVP_PKEY_CTX*), const RsaPadding& padding) {
    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    if (!ctx || init(ctx.get()) != 1 || !padding.applyTo(ctx.get())) {
        return nullptr;
    }
    return ctx;
}

RsaPadding pkcs1Padding() {
    RsaPadding p;
    p.mode = RSA_PKCS1_PADDING;
    return p;
}

CK_MECHANISM bare(CK_MECHANISM_TYPE type) {
    return CK_MECHANISM{type, nullptr, 0};
}

bool badInput(const CK_BYTE* data, CK_ULONG len) {
    return data == nullptr && len != 0;
}

} // namespace

bool isSignMechanism(CK_MECHANISM_TYPE mechanism) {
    return mechanism == CKM_RSA_PKCS || mechanism == CKM_RSA_PKCS_PSS ||
           isMultiPartSignMechanism(mechanism);
}

bool isMultiPartSignMechanism(CK_MECHANISM_TYPE mechanism) {
    HashInfo info{};
    return hashForSign(mechanism, info) || hashForPss(mechanism) != nullptr;
}

bool isCipherMechanism(CK_MECHANISM_TYPE mechanism) {
    return mechanism == CKM_RSA_PKCS || mechanism == CKM_RSA_PKCS_OAEP;
}

bool takesParameters(CK_MECHANISM_TYPE mechanism) {
    return mechanism == CKM_RSA_PKCS_PSS || hashForPss(mechanism) != nullptr ||
           mechanism == CKM_RSA_PKCS_OAEP;
}

bool isDigestMechanism(CK_MECHANISM_TYPE mechanism) {
    return hashForDigest(mechanism) != nullptr;
}

// ---------------------------------------------------------------------------------------------

const RsaSignatureContext::Use RsaSignatureContext::kSign = {EVP_DigestSignInit, EVP_DigestSignUpdate,
                                                     EVP_PKEY_sign_init};
const RsaSignatureContext::Use RsaSignatureContext::kVerify = {EVP_DigestVerifyInit, EVP_DigestVerifyUpdate,
                                                       EVP_PKEY_verify_init};

template <class Context>
CK_RV RsaSignatureContext::make(const CK_MECHANISM& mechanism, PkeyPtr key, const Use& use,
                                std::unique_ptr<Context>& out) {
    out.reset();
    const CK_MECHANISM_TYPE type = mechanism.mechanism;
    HashInfo info{};
    const bool pkcs1Hashed = hashForSign(type, info);
    const EVP_MD* pssHash = hashForPss(type);
    const bool pss = pssHash != nullptr || type == CKM_RSA_PKCS_PSS;
    if (!pkcs1Hashed && !pss && type != CKM_RSA_PKCS) {
        return CKR_MECHANISM_INVALID;
    }
    if (!pss && (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    CK_ULONG k = 0;
    if (CK_RV rv = checkRsaKey(key, k); rv != CKR_OK) {
        return rv;
    }
    RsaPadding padding = pkcs1Padding();
    if (pss) {
        const int bits = EVP_PKEY_get_bits(key.get());
        if (CK_RV rv = readPssParameters(mechanism, pssHash, bits > 0 ? CK_ULONG(bits) : 0, padding);
            rv != CKR_OK) {
            return rv;
        }
    } else if (k < (pkcs1Hashed ? info.digestInfoLen : 1) + kPkcs1Overhead) {
        return CKR_KEY_SIZE_RANGE;
    }

    ErrorMark mark;
    std::unique_ptr<Context> ctx(new (std::nothrow) Context());
    if (!ctx) {
        return CKR_HOST_MEMORY;
    }
    ctx->mechanism_ = type;
    ctx->modulusBytes_ = k;
    const EVP_MD* md = pkcs1Hashed ? info.md : pssHash;
    if (md) {
        ctx->md_ = md;
        ctx->mdCtx_.reset(EVP_MD_CTX_new());
        if (!ctx->mdCtx_) {
            return CKR_HOST_MEMORY;
        }
        // PKCS#1 v1.5 has nothing to set per operation, so its contexts are prepared once.
        const PreparedUse prepared = &use == &kSign ? PreparedUse::Sign : PreparedUse::Verify;
        if (pss || !startPrepared(key.get(), prepared, type, md, ctx->mdCtx_.get())) {
            EVP_PKEY_CTX* pctx = nullptr; // owned by the digest context
            if (use.digestInit(ctx->mdCtx_.get(), &pctx, md, nullptr, key.get()) != 1 ||
                (pss && !padding.applyTo(pctx))) {
                return CKR_FUNCTION_FAILED;
            }
        }
        // Length queries never reach OpenSSL, so Final may consume the context
        // instead of duplicating it on every call.
        EVP_MD_CTX_set_flags(ctx->mdCtx_.get(), EVP_MD_CTX_FLAG_FINALISE);
    } else {
        ctx->pkeyCtx_ = rawContext(key, use.rawInit, padding);
        if (!ctx->pkeyCtx_ ||
            (pss && EVP_PKEY_CTX_set_signature_md(ctx->pkeyCtx_.get(), padding.hash) != 1)) {
            return CKR_FUNCTION_FAILED;
        }
        if (pss) {
            ctx->rawExactLen_ = static_cast<CK_ULONG>(EVP_MD_get_size(padding.hash));
        }
    }
    ctx->key_ = std::move(key);
    out = std::move(ctx);
    return CKR_OK;
}

CK_RV RsaSignatureContext::checkOneShot(const CK_BYTE* data, CK_ULONG len,
                                        bool argumentsBad) const {
    if (updated_) {
        return CKR_OPERATION_ACTIVE;
    }
    if (argumentsBad || badInput(data, len)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (md_) {
        return CKR_OK;
    }
    // CKR_DATA_LEN_RANGE when raw input does not fit the padding.
    if (rawExactLen_ != 0) {
        return len == rawExactLen_ ? CKR_OK : CKR_DATA_LEN_RANGE;
    }
    return len > modulusBytes_ - kPkcs1Overhead ? CKR_DATA_LEN_RANGE : CKR_OK;
}

CK_RV RsaSignatureContext::update(const CK_BYTE* data, CK_ULONG len, const Use& use) {
    if (!md_) {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    if (badInput(data, len)) {
        return CKR_ARGUMENTS_BAD;
    }
    ErrorMark mark;
    updated_ = true;
    return use.digestUpdate(mdCtx_.get(), data, len) == 1 ? CKR_OK : CKR_FUNCTION_FAILED;
}

// ---------------------------------------------------------------------------------------------

CK_RV SignContext::create(const CK_MECHANISM& mechanism, PkeyPtr privateKey,
                          std::unique_ptr<SignContext>& out) {
    return make(mechanism, std::move(privateKey), kSign, out);
}

CK_RV SignContext::create(CK_MECHANISM_TYPE mechanism, PkeyPtr privateKey,
                          std::unique_ptr<SignContext>& out) {
    return create(bare(mechanism), std::move(privateKey), out);
}

CK_RV SignContext::update(const CK_BYTE* data, CK_ULONG len) {
    return RsaSignatureContext::update(data, len, kSign);
}

CK_RV SignContext::final(CK_BYTE* sig, CK_ULONG* sigLen) {
    if (!md_) {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    LengthCheck check;
    if (CK_RV rv = checkLength(sig, sigLen, modulusBytes_, check); check == LengthCheck::Answered) {
        return rv;
    }
    ErrorMark mark;
    std::size_t written = *sigLen;
    if (EVP_DigestSignFinal(mdCtx_.get(), sig, &written) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    *sigLen = static_cast<CK_ULONG>(written);
    return CKR_OK;
}

CK_RV SignContext::signOneShot(const CK_BYTE* data, CK_ULONG len, CK_BYTE* sig, CK_ULONG* sigLen) {
    if (CK_RV rv = checkOneShot(data, len, false); rv != CKR_OK) {
        return rv;
    }
    LengthCheck check;
    if (CK_RV rv = checkLength(sig, sigLen, modulusBytes_, check); check == LengthCheck::Answered) {
        return rv;
    }
    ErrorMark mark;
    std::size_t written = *sigLen;
    const int ok = md_ ? EVP_DigestSign(mdCtx_.get(), sig, &written, data, len)
                       : EVP_PKEY_sign(pkeyCtx_.get(), sig, &written, data, len);
    if (ok != 1) {
        return CKR_FUNCTION_FAILED;
    }
    *sigLen = static_cast<CK_ULONG>(written);
    return CKR_OK;
}

// ---------------------------------------------------------------------------------------------

CK_RV VerifyContext::create(const CK_MECHANISM& mechanism, PkeyPtr publicKey,
                            std::unique_ptr<VerifyContext>& out) {
    return make(mechanism, std::move(publicKey), kVerify, out);
}

CK_RV VerifyContext::create(CK_MECHANISM_TYPE mechanism, PkeyPtr publicKey,
                            std::unique_ptr<VerifyContext>& out) {
    return create(bare(mechanism), std::move(publicKey), out);
}

CK_RV VerifyContext::update(const CK_BYTE* data, CK_ULONG len) {
    return RsaSignatureContext::update(data, len, kVerify);
}

CK_RV VerifyContext::verify(const CK_BYTE* sig, CK_ULONG sigLen) {
    if (!md_) {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    if (badInput(sig, sigLen)) {
        return CKR_ARGUMENTS_BAD;
    }
    if (sigLen != modulusBytes_) {
        return CKR_SIGNATURE_LEN_RANGE;
    }
    ErrorMark mark;
    return EVP_DigestVerifyFinal(mdCtx_.get(), sig, sigLen) == 1 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

CK_RV VerifyContext::verifyOneShot(const CK_BYTE* data, CK_ULONG len, const CK_BYTE* sig,
                                   CK_ULONG sigLen) {
    if (CK_RV rv = checkOneShot(data, len, badInput(sig, sigLen)); rv != CKR_OK) {
        return rv;
    }
    if (sigLen != modulusBytes_) {
        return CKR_SIGNATURE_LEN_RANGE;
    }
    ErrorMark mark;
    const int ok = md_ ? EVP_DigestVerify(mdCtx_.get(), sig, sigLen, data, len)
                       : EVP_PKEY_verify(pkeyCtx_.get(), sig, sigLen, data, len);
    return ok == 1 ? CKR_OK : CKR_SIGNATURE_INVALID;
}

// ---------------------------------------------------------------------------------------------

CK_RV CipherContext::create(const CK_MECHANISM& mechanism, PkeyPtr key, Direction direction,
                            std::unique_ptr<CipherContext>& out) {
    out.reset();
    const CK_MECHANISM_TYPE type = mechanism.mechanism;
    if (!isCipherMechanism(type)) {
        return CKR_MECHANISM_INVALID;
    }
    const bool oaep = type == CKM_RSA_PKCS_OAEP;
    if (!oaep && (mechanism.pParameter != nullptr || mechanism.ulParameterLen != 0)) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    CK_ULONG k = 0;
    if (CK_RV rv = checkRsaKey(key, k); rv != CKR_OK) {
        return rv;
    }
    RsaPadding padding = pkcs1Padding();
    CK_ULONG overhead = kPkcs1Overhead;
    if (oaep) {
        if (CK_RV rv = readOaepParameters(mechanism, k, padding); rv != CKR_OK) {
            return rv;
        }
        overhead = 2 * static_cast<CK_ULONG>(EVP_MD_get_size(padding.hash)) + 2;
    } else if (k <= kPkcs1Overhead) {
        return CKR_KEY_SIZE_RANGE;
    }

    ErrorMark mark;
    std::unique_ptr<CipherContext> ctx(new (std::nothrow) CipherContext());
    if (!ctx) {
        return CKR_HOST_MEMORY;
    }
    ctx->mechanism_ = type;
    ctx->direction_ = direction;
    ctx->modulusBytes_ = k;
    ctx->maxInput_ = k - overhead;
    ctx->pkeyCtx_ = rawContext(key,
                               direction == Direction::Encrypt ? EVP_PKEY_encrypt_init
                                                               : EVP_PKEY_decrypt_init,
                               padding);
    if (!ctx->pkeyCtx_) {
        return CKR_FUNCTION_FAILED;
    }
#ifdef OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION
    // Newer OpenSSL hides PKCS#1 v1.5 padding errors behind a random result; a token
    // reports them.
    if (direction == Direction::Decrypt && !oaep) {
        unsigned int off = 0;
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_uint(OSSL_ASYM_CIPHER_PARAM_IMPLICIT_REJECTION, &off),
            OSSL_PARAM_construct_end(),
        };
        EVP_PKEY_CTX_set_params(ctx->pkeyCtx_.get(), params);
    }
#endif
    ctx->key_ = std::move(key);
    out = std::move(ctx);
    return CKR_OK;
}

CK_RV CipherContext::create(CK_MECHANISM_TYPE mechanism, PkeyPtr key, Direction direction,
                            std::unique_ptr<CipherContext>& out) {
    return create(bare(mechanism), std::move(key), direction, out);
}

CK_RV CipherContext::oneShot(const CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out, CK_ULONG* outLen) {
    if (badInput(in, inLen)) {
        return CKR_ARGUMENTS_BAD;
    }
    return direction_ == Direction::Encrypt ? encrypt(in, inLen, out, outLen)
                                            : decrypt(in, inLen, out, outLen);
}

CK_RV CipherContext::update(const CK_BYTE*, CK_ULONG, CK_BYTE*, CK_ULONG*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV CipherContext::final(CK_BYTE*, CK_ULONG*) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

CK_RV CipherContext::encrypt(const CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out, CK_ULONG* outLen) {
    if (inLen > maxInput_) {
        return CKR_DATA_LEN_RANGE;
    }
    LengthCheck check;
    if (CK_RV rv = checkLength(out, outLen, modulusBytes_, check); check == LengthCheck::Answered) {
        return rv;
    }
    ErrorMark mark;
    std::size_t written = *outLen;
    if (EVP_PKEY_encrypt(pkeyCtx_.get(), out, &written, in, inLen) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    *outLen = static_cast<CK_ULONG>(written);
    return CKR_OK;
}

CK_RV CipherContext::decrypt(const CK_BYTE* in, CK_ULONG inLen, CK_BYTE* out, CK_ULONG* outLen) {
    if (inLen != modulusBytes_) {
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    if (outLen == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    // The exact plaintext length is known only after decrypting, so a length
    // query decrypts and keeps the result for the same ciphertext's next call.
    if (!havePlain_ || cipherText_.size() != inLen ||
        std::memcmp(cipherText_.data(), in, inLen) != 0) {
        ErrorMark mark;
        SecureBytes plain(modulusBytes_);
        std::size_t written = plain.size();
        if (EVP_PKEY_decrypt(pkeyCtx_.get(), plain.data(), &written, in, inLen) != 1) {
            return CKR_ENCRYPTED_DATA_INVALID;
        }
        plain_.assign(plain.data(), written);
        cipherText_.assign(in, in + inLen);
        havePlain_ = true;
    }
    LengthCheck check;
    if (CK_RV rv = checkLength(out, outLen, plain_.size(), check); check == LengthCheck::Answered) {
        return rv;
    }
    if (!plain_.empty()) {
        std::memcpy(out, plain_.data(), plain_.size());
    }
    *outLen = static_cast<CK_ULONG>(plain_.size());
    plain_.clear();
    havePlain_ = false;
    return CKR_OK;
}

// ---------------------------------------------------------------------------------------------

CK_RV DigestContext::create(CK_MECHANISM_TYPE mechanism, std::unique_ptr<DigestContext>& out) {
    out.reset();
    const EVP_MD* md = hashForDigest(mechanism);
    if (md == nullptr) {
        return CKR_MECHANISM_INVALID;
    }
    ErrorMark mark;
    std::unique_ptr<DigestContext> ctx(new (std::nothrow) DigestContext());
    if (!ctx) {
        return CKR_HOST_MEMORY;
    }
    ctx->mechanism_ = mechanism;
    ctx->digestLen_ = static_cast<CK_ULONG>(EVP_MD_get_size(md));
    ctx->mdCtx_.reset(EVP_MD_CTX_new());
    if (!ctx->mdCtx_) {
        return CKR_HOST_MEMORY;
    }
    if (EVP_DigestInit_ex(ctx->mdCtx_.get(), md, nullptr) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    out = std::move(ctx);
    return CKR_OK;
}

CK_RV DigestContext::update(const CK_BYTE* data, CK_ULONG len) {
    if (badInput(data, len)) {
        return CKR_ARGUMENTS_BAD;
    }
    ErrorMark mark;
    updated_ = true;
    return EVP_DigestUpdate(mdCtx_.get(), data, len) == 1 ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV DigestContext::final(CK_BYTE* digest, CK_ULONG* digestLen) {
    LengthCheck check;
    if (CK_RV rv = checkLength(digest, digestLen, digestLen_, check);
        check == LengthCheck::Answered) {
        return rv;
    }
    ErrorMark mark;
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(mdCtx_.get(), digest, &written) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    *digestLen = written;
    return CKR_OK;
}

CK_RV DigestContext::oneShot(const CK_BYTE* data, CK_ULONG len, CK_BYTE* digest,
                             CK_ULONG* digestLen) {
    if (updated_) {
        return CKR_OPERATION_ACTIVE;
    }
    if (badInput(data, len)) {
        return CKR_ARGUMENTS_BAD;
    }
    LengthCheck check;
    if (CK_RV rv = checkLength(digest, digestLen, digestLen_, check);
        check == LengthCheck::Answered) {
        return rv;
    }
    ErrorMark mark;
    unsigned int written = 0;
    if (EVP_DigestUpdate(mdCtx_.get(), data, len) != 1 ||
        EVP_DigestFinal_ex(mdCtx_.get(), digest, &written) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    *digestLen = written;
    return CKR_OK;
}

} // namespace softtoken::crypto
