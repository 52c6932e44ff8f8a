// Key generation, signing, verification, encryption, decryption, digests and random.
#include "Entry.h"
#include "NewObjects.h"

using namespace softtoken::module;
using crypto::CipherContext;
using crypto::DigestContext;
using crypto::SignContext;
using crypto::VerifyContext;

namespace {

crypto::PkeyPtr keyOf(Object& o) {
    if (o.pkey)
        return o.pkey;
    auto get = [&](CK_ATTRIBUTE_TYPE t) {
        const Bytes* v = findValue(o.attributes, t);
        return v ? *v : Bytes{};
    };
    if (o.objectClass() == CKO_PUBLIC_KEY) {
        o.pkey = crypto::makeRsaPublicKey(get(CKA_MODULUS), get(CKA_PUBLIC_EXPONENT));
    } else {
        crypto::RsaKeyParts parts;
        parts.modulus = get(CKA_MODULUS);
        parts.publicExponent = get(CKA_PUBLIC_EXPONENT);
        parts.privateExponent = get(CKA_PRIVATE_EXPONENT);
        parts.prime1 = get(CKA_PRIME_1);
        parts.prime2 = get(CKA_PRIME_2);
        parts.exponent1 = get(CKA_EXPONENT_1);
        parts.exponent2 = get(CKA_EXPONENT_2);
        parts.coefficient = get(CKA_COEFFICIENT);
        o.pkey = crypto::makeRsaPrivateKey(parts);
        parts.wipePrivate();
    }
    return o.pkey;
}

// The checks every key operation's Init shares.
CK_RV keyForOperation(Module& m, Session& s, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE hKey,
                      CK_OBJECT_CLASS wantClass, CK_ATTRIBUTE_TYPE permission,
                      crypto::PkeyPtr& out) {
    // The parameter blocks of PSS and OAEP are checked with the key, which bounds them.
    if (!crypto::takesParameters(mechanism->mechanism) &&
        (mechanism->pParameter || mechanism->ulParameterLen))
        return CKR_MECHANISM_PARAM_INVALID;
    Object* o = nullptr;
    const CK_RV rv = m.keyObject(s, hKey, o);
    if (rv != CKR_OK)
        return rv;
    CK_ULONG keyType = 0;
    if (o->objectClass() != wantClass || !readUlong(o->attributes, CKA_KEY_TYPE, keyType) ||
        keyType != CKK_RSA)
        return CKR_KEY_TYPE_INCONSISTENT;
    if (!readBool(o->attributes, permission, false))
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    out = keyOf(*o);
    return out ? CKR_OK : CKR_FUNCTION_FAILED;
}

// An operation survives only a length query and a too-small buffer.
template <class Ctx> CK_RV finishing(std::unique_ptr<Ctx>& ctx, CK_RV rv, const void* output) {
    if (rv == CKR_BUFFER_TOO_SMALL || (rv == CKR_OK && !output))
        return rv;
    ctx.reset();
    return rv;
}

template <class Ctx> CK_RV updating(std::unique_ptr<Ctx>& ctx, CK_RV rv) {
    if (rv != CKR_OK)
        ctx.reset();
    return rv;
}

bool badInput(const void* p, CK_ULONG len) {
    return !p && len != 0;
}

// The Init shared by the key operations: the session member op must be free,
// the mechanism one the operation knows and the key of the right class with
// the permission; create then starts the operation with that key.
template <class Ctx, class Create>
CK_RV keyedInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey,
                std::unique_ptr<Ctx> Session::*op, bool (*knownMechanism)(CK_MECHANISM_TYPE),
                CK_OBJECT_CLASS keyClass, CK_ATTRIBUTE_TYPE permission, Create create) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!pMechanism)
            return CKR_ARGUMENTS_BAD;
        if (s.*op)
            return CKR_OPERATION_ACTIVE;
        if (!knownMechanism(pMechanism->mechanism))
            return CKR_MECHANISM_INVALID;
        crypto::PkeyPtr key;
        const CK_RV rv = keyForOperation(m, s, pMechanism, hKey, keyClass, permission, key);
        if (rv != CKR_OK)
            return rv;
        return create(*pMechanism, std::move(key), s.*op);
    });
}

// A step that writes output (one-shot, cipher update or final) of the
// operation in the session member op; inputBad says the caller's input
// pointers are already known to be wrong.
template <class Ctx, class Step>
CK_RV outputStep(CK_SESSION_HANDLE hSession, std::unique_ptr<Ctx> Session::*op, bool inputBad,
                 const void* output, CK_ULONG_PTR outputLen, Step step) {
    return withSession(hSession, [&](Module&, Session& s) -> CK_RV {
        auto& ctx = s.*op;
        if (!ctx)
            return CKR_OPERATION_NOT_INITIALIZED;
        if (inputBad || !outputLen)
            return finishing(ctx, CKR_ARGUMENTS_BAD, nullptr);
        return finishing(ctx, step(*ctx), output);
    });
}

// Sign, verify and digest take parts without giving output.
template <class Ctx>
CK_RV partStep(CK_SESSION_HANDLE hSession, std::unique_ptr<Ctx> Session::*op, CK_BYTE_PTR pPart,
               CK_ULONG ulPartLen) {
    return withSession(hSession, [&](Module&, Session& s) -> CK_RV {
        auto& ctx = s.*op;
        if (!ctx)
            return CKR_OPERATION_NOT_INITIALIZED;
        if (badInput(pPart, ulPartLen))
            return updating(ctx, CKR_ARGUMENTS_BAD);
        return updating(ctx, ctx->update(pPart, ulPartLen));
    });
}

} // namespace

SOFTTOKEN_EXPORT CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                         CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                                         CK_ULONG ulPublicKeyAttributeCount,
                                         CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                                         CK_ULONG ulPrivateKeyAttributeCount,
                                         CK_OBJECT_HANDLE_PTR phPublicKey,
                                         CK_OBJECT_HANDLE_PTR phPrivateKey) {
    return withSession(hSession, [&](Module& m, Session& s) -> CK_RV {
        if (!pMechanism || !phPublicKey || !phPrivateKey ||
            badInput(pPublicKeyTemplate, ulPublicKeyAttributeCount) ||
            badInput(pPrivateKeyTemplate, ulPrivateKeyAttributeCount))
            return CKR_ARGUMENTS_BAD;
        if (pMechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN)
            return CKR_MECHANISM_INVALID;
        if (pMechanism->pParameter || pMechanism->ulParameterLen)
            return CKR_MECHANISM_PARAM_INVALID;
        Attributes givenPub, givenPriv, pub, priv;
        CK_RV rv = readTemplate(pPublicKeyTemplate, ulPublicKeyAttributeCount, givenPub);
        if (rv == CKR_OK)
            rv = readTemplate(pPrivateKeyTemplate, ulPrivateKeyAttributeCount, givenPriv);
        if (rv == CKR_OK)
            rv = prepareObject(m, CKO_PUBLIC_KEY, givenPub, Purpose::Generate, pub);
        if (rv == CKR_OK)
            rv = prepareObject(m, CKO_PRIVATE_KEY, givenPriv, Purpose::Generate, priv);
        if (rv != CKR_OK)
            return rv;
        CK_ULONG bits = 0;
        if (!readUlong(pub, CKA_MODULUS_BITS, bits))
            return CKR_TEMPLATE_INCOMPLETE;
        rv = checkRsaBits(m, bits);
        if (rv == CKR_OK)
            rv = m.checkWritable(s, readBool(pub, CKA_TOKEN, false),
                                 readBool(pub, CKA_PRIVATE, false));
        if (rv == CKR_OK)
            rv = m.checkWritable(s, readBool(priv, CKA_TOKEN, false),
                                 readBool(priv, CKA_PRIVATE, true));
        if (rv != CKR_OK)
            return rv;
        const Bytes* exponent = findValue(pub, CKA_PUBLIC_EXPONENT);
        crypto::RsaKeyParts parts;
        rv = crypto::generateRsaKeyPair(bits, exponent ? *exponent : Bytes{}, parts);
        if (rv != CKR_OK)
            return rv;
        pub[CKA_MODULUS] = parts.modulus;
        pub[CKA_PUBLIC_EXPONENT] = parts.publicExponent;
        priv[CKA_MODULUS] = parts.modulus;
        priv[CKA_PUBLIC_EXPONENT] = parts.publicExponent;
        priv[CKA_PRIVATE_EXPONENT] = parts.privateExponent;
        priv[CKA_PRIME_1] = parts.prime1;
        priv[CKA_PRIME_2] = parts.prime2;
        priv[CKA_EXPONENT_1] = parts.exponent1;
        priv[CKA_EXPONENT_2] = parts.exponent2;
        priv[CKA_COEFFICIENT] = parts.coefficient;
        parts.wipePrivate();
        for (Attributes* a : {&pub, &priv}) {
            (*a)[CKA_LOCAL] = boolBytes(true);
            (*a)[CKA_KEY_GEN_MECHANISM] = ulongBytes(CKM_RSA_PKCS_KEY_PAIR_GEN);
        }
        priv[CKA_ALWAYS_SENSITIVE] = boolBytes(readBool(priv, CKA_SENSITIVE, true));
        priv[CKA_NEVER_EXTRACTABLE] = boolBytes(!readBool(priv, CKA_EXTRACTABLE, false));

        std::vector<Attributes> pair;
        pair.push_back(std::move(pub));
        pair.push_back(std::move(priv));
        std::vector<CK_OBJECT_HANDLE> handles;
        rv = m.storeNewObjects(s, std::move(pair), handles);
        if (rv != CKR_OK)
            return rv;
        const CK_OBJECT_HANDLE hPub = handles[0], hPriv = handles[1];
        *phPublicKey = hPub;
        *phPrivateKey = hPriv;
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                  CK_OBJECT_HANDLE hKey) {
    return keyedInit(hSession, pMechanism, hKey, &Session::sign, crypto::isSignMechanism,
                     CKO_PRIVATE_KEY, CKA_SIGN,
                     [](const CK_MECHANISM& mechanism, crypto::PkeyPtr key,
                        std::unique_ptr<SignContext>& out) {
                         return SignContext::create(mechanism, std::move(key), out);
                     });
}

SOFTTOKEN_EXPORT CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                              CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return outputStep(hSession, &Session::sign, badInput(pData, ulDataLen), pSignature,
                      pulSignatureLen, [&](SignContext& ctx) {
                          return ctx.signOneShot(pData, ulDataLen, pSignature, pulSignatureLen);
                      });
}

SOFTTOKEN_EXPORT CK_RV C_SignUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                    CK_ULONG ulPartLen) {
    return partStep(hSession, &Session::sign, pPart, ulPartLen);
}

SOFTTOKEN_EXPORT CK_RV C_SignFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                                   CK_ULONG_PTR pulSignatureLen) {
    return outputStep(hSession, &Session::sign, false, pSignature, pulSignatureLen,
                      [&](SignContext& ctx) { return ctx.final(pSignature, pulSignatureLen); });
}

SOFTTOKEN_EXPORT CK_RV C_VerifyInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                    CK_OBJECT_HANDLE hKey) {
    return keyedInit(hSession, pMechanism, hKey, &Session::verify, crypto::isSignMechanism,
                     CKO_PUBLIC_KEY, CKA_VERIFY,
                     [](const CK_MECHANISM& mechanism, crypto::PkeyPtr key,
                        std::unique_ptr<VerifyContext>& out) {
                         return VerifyContext::create(mechanism, std::move(key), out);
                     });
}

SOFTTOKEN_EXPORT CK_RV C_Verify(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                CK_BYTE_PTR pSignature, CK_ULONG ulSignatureLen) {
    return withSession(hSession, [&](Module&, Session& s) -> CK_RV {
        if (!s.verify)
            return CKR_OPERATION_NOT_INITIALIZED;
        auto ctx = std::move(s.verify); // verification always ends the operation
        if (badInput(pData, ulDataLen) || badInput(pSignature, ulSignatureLen))
            return CKR_ARGUMENTS_BAD;
        return ctx->verifyOneShot(pData, ulDataLen, pSignature, ulSignatureLen);
    });
}

SOFTTOKEN_EXPORT CK_RV C_VerifyUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                      CK_ULONG ulPartLen) {
    return partStep(hSession, &Session::verify, pPart, ulPartLen);
}

SOFTTOKEN_EXPORT CK_RV C_VerifyFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSignature,
                                     CK_ULONG ulSignatureLen) {
    return withSession(hSession, [&](Module&, Session& s) -> CK_RV {
        if (!s.verify)
            return CKR_OPERATION_NOT_INITIALIZED;
        auto ctx = std::move(s.verify);
        if (badInput(pSignature, ulSignatureLen))
            return CKR_ARGUMENTS_BAD;
        return ctx->verify(pSignature, ulSignatureLen);
    });
}

namespace {

std::unique_ptr<CipherContext> Session::*cipherOf(bool enc) {
    return enc ? &Session::encrypt : &Session::decrypt;
}

CK_RV cipherInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism, CK_OBJECT_HANDLE hKey,
                 CipherContext::Direction direction) {
    const bool enc = direction == CipherContext::Direction::Encrypt;
    return keyedInit(hSession, pMechanism, hKey, enc ? &Session::encrypt : &Session::decrypt,
                     crypto::isCipherMechanism, enc ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY,
                     enc ? CKA_ENCRYPT : CKA_DECRYPT,
                     [direction](const CK_MECHANISM& mechanism, crypto::PkeyPtr key,
                                 std::unique_ptr<CipherContext>& out) {
                         return CipherContext::create(mechanism, std::move(key), direction, out);
                     });
}

CK_RV cipherOneShot(CK_SESSION_HANDLE hSession, bool enc, CK_BYTE_PTR in, CK_ULONG inLen,
                    CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return outputStep(hSession, cipherOf(enc), badInput(in, inLen), out, outLen,
                      [&](CipherContext& ctx) { return ctx.oneShot(in, inLen, out, outLen); });
}

CK_RV cipherUpdate(CK_SESSION_HANDLE hSession, bool enc, CK_BYTE_PTR in, CK_ULONG inLen,
                   CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return outputStep(hSession, cipherOf(enc), badInput(in, inLen), out, outLen,
                      [&](CipherContext& ctx) { return ctx.update(in, inLen, out, outLen); });
}

CK_RV cipherFinal(CK_SESSION_HANDLE hSession, bool enc, CK_BYTE_PTR out, CK_ULONG_PTR outLen) {
    return outputStep(hSession, cipherOf(enc), false, out, outLen,
                      [&](CipherContext& ctx) { return ctx.final(out, outLen); });
}

} // namespace

SOFTTOKEN_EXPORT CK_RV C_EncryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                     CK_OBJECT_HANDLE hKey) {
    return cipherInit(hSession, pMechanism, hKey, CipherContext::Direction::Encrypt);
}

SOFTTOKEN_EXPORT CK_RV C_Encrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                 CK_BYTE_PTR pEncryptedData, CK_ULONG_PTR pulEncryptedDataLen) {
    return cipherOneShot(hSession, true, pData, ulDataLen, pEncryptedData, pulEncryptedDataLen);
}

SOFTTOKEN_EXPORT CK_RV C_EncryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                       CK_ULONG ulPartLen, CK_BYTE_PTR pEncryptedPart,
                                       CK_ULONG_PTR pulEncryptedPartLen) {
    return cipherUpdate(hSession, true, pPart, ulPartLen, pEncryptedPart, pulEncryptedPartLen);
}

SOFTTOKEN_EXPORT CK_RV C_EncryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastEncryptedPart,
                                      CK_ULONG_PTR pulLastEncryptedPartLen) {
    return cipherFinal(hSession, true, pLastEncryptedPart, pulLastEncryptedPartLen);
}

SOFTTOKEN_EXPORT CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                     CK_OBJECT_HANDLE hKey) {
    return cipherInit(hSession, pMechanism, hKey, CipherContext::Direction::Decrypt);
}

SOFTTOKEN_EXPORT CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData,
                                 CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                                 CK_ULONG_PTR pulDataLen) {
    return cipherOneShot(hSession, false, pEncryptedData, ulEncryptedDataLen, pData, pulDataLen);
}

SOFTTOKEN_EXPORT CK_RV C_DecryptUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedPart,
                                       CK_ULONG ulEncryptedPartLen, CK_BYTE_PTR pPart,
                                       CK_ULONG_PTR pulPartLen) {
    return cipherUpdate(hSession, false, pEncryptedPart, ulEncryptedPartLen, pPart, pulPartLen);
}

SOFTTOKEN_EXPORT CK_RV C_DecryptFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pLastPart,
                                      CK_ULONG_PTR pulLastPartLen) {
    return cipherFinal(hSession, false, pLastPart, pulLastPartLen);
}

SOFTTOKEN_EXPORT CK_RV C_DigestInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism) {
    return withSession(hSession, [&](Module&, Session& s) -> CK_RV {
        if (!pMechanism)
            return CKR_ARGUMENTS_BAD;
        if (s.digest)
            return CKR_OPERATION_ACTIVE;
        if (!crypto::isDigestMechanism(pMechanism->mechanism))
            return CKR_MECHANISM_INVALID;
        if (pMechanism->pParameter || pMechanism->ulParameterLen)
            return CKR_MECHANISM_PARAM_INVALID;
        return DigestContext::create(pMechanism->mechanism, s.digest);
    });
}

SOFTTOKEN_EXPORT CK_RV C_Digest(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                                CK_BYTE_PTR pDigest, CK_ULONG_PTR pulDigestLen) {
    return outputStep(
        hSession, &Session::digest, badInput(pData, ulDataLen), pDigest, pulDigestLen,
        [&](DigestContext& ctx) { return ctx.oneShot(pData, ulDataLen, pDigest, pulDigestLen); });
}

SOFTTOKEN_EXPORT CK_RV C_DigestUpdate(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pPart,
                                      CK_ULONG ulPartLen) {
    return partStep(hSession, &Session::digest, pPart, ulPartLen);
}

SOFTTOKEN_EXPORT CK_RV C_DigestFinal(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pDigest,
                                     CK_ULONG_PTR pulDigestLen) {
    return outputStep(hSession, &Session::digest, false, pDigest, pulDigestLen,
                      [&](DigestContext& ctx) { return ctx.final(pDigest, pulDigestLen); });
}

SOFTTOKEN_EXPORT CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed,
                                    CK_ULONG ulSeedLen) {
    return withSession(hSession, [&](Module&, Session&) -> CK_RV {
        if (badInput(pSeed, ulSeedLen))
            return CKR_ARGUMENTS_BAD;
        return CKR_RANDOM_SEED_NOT_SUPPORTED;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData,
                                        CK_ULONG ulRandomLen) {
    return withSession(hSession, [&](Module&, Session&) -> CK_RV {
        if (badInput(pRandomData, ulRandomLen))
            return CKR_ARGUMENTS_BAD;
        if (ulRandomLen == 0)
            return CKR_OK;
        return crypto::fillRandom(pRandomData, ulRandomLen) ? CKR_OK : CKR_FUNCTION_FAILED;
    });
}
