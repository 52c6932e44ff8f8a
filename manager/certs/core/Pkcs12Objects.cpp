#include "Pkcs12Import.h"

#include "platform/DebugOutput.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <algorithm>
#include <iterator>

namespace {

CK_ULONG ulongLength() {
    return sizeof(CK_ULONG);
}

Bytes nameDer(const X509_NAME* name) {
    int length = i2d_X509_NAME(name, nullptr);
    if (length <= 0)
        return {};
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_X509_NAME(name, &p);
    return der;
}

Bytes integerDer(const ASN1_INTEGER* value) {
    int length = i2d_ASN1_INTEGER(value, nullptr);
    if (length <= 0)
        return {};
    Bytes der(static_cast<size_t>(length));
    unsigned char* p = der.data();
    i2d_ASN1_INTEGER(value, &p);
    return der;
}

certs::BignumPtr bnParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* value = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &value) != 1)
        return nullptr;
    return certs::BignumPtr(value);
}

// Unsigned big-endian, (bits + 7) / 8 bytes.
Bytes bnBytes(const BIGNUM* value) {
    Bytes bytes(static_cast<size_t>(BN_num_bytes(value)));
    BN_bn2bin(value, bytes.data());
    return bytes;
}

bool keyChecks(EVP_PKEY* key) {
    certs::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    return ctx && EVP_PKEY_check(ctx.get()) == 1;
}

struct RsaParts {
    certs::BignumPtr n, e, d, p, q, dmp1, dmq1, iqmp;
    bool complete() const { return n && e && d && p && q && dmp1 && dmq1 && iqmp; }
};

RsaParts rsaParts(const EVP_PKEY* key) {
    RsaParts parts;
    parts.n = bnParam(key, OSSL_PKEY_PARAM_RSA_N);
    parts.e = bnParam(key, OSSL_PKEY_PARAM_RSA_E);
    parts.d = bnParam(key, OSSL_PKEY_PARAM_RSA_D);
    parts.p = bnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1);
    parts.q = bnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2);
    parts.dmp1 = bnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1);
    parts.dmq1 = bnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2);
    parts.iqmp = bnParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    return parts;
}

certs::EvpPkeyPtr keyFromParts(const RsaParts& parts) {
    std::unique_ptr<OSSL_PARAM_BLD, void (*)(OSSL_PARAM_BLD*)> builder(OSSL_PARAM_BLD_new(),
                                                                       OSSL_PARAM_BLD_free);
    if (!builder)
        return nullptr;
    const std::pair<const char*, const BIGNUM*> values[] = {
        {OSSL_PKEY_PARAM_RSA_N, parts.n.get()},
        {OSSL_PKEY_PARAM_RSA_E, parts.e.get()},
        {OSSL_PKEY_PARAM_RSA_D, parts.d.get()},
        {OSSL_PKEY_PARAM_RSA_FACTOR1, parts.p.get()},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, parts.q.get()},
        {OSSL_PKEY_PARAM_RSA_EXPONENT1, parts.dmp1.get()},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, parts.dmq1.get()},
        {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, parts.iqmp.get()},
    };
    for (const auto& [name, value] : values)
        if (OSSL_PARAM_BLD_push_BN(builder.get(), name, value) != 1)
            return nullptr;
    std::unique_ptr<OSSL_PARAM, void (*)(OSSL_PARAM*)> params(
        OSSL_PARAM_BLD_to_param(builder.get()), OSSL_PARAM_free);
    certs::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return nullptr;
    return certs::EvpPkeyPtr(key);
}

// Replaces d by e^-1 mod (p-1)(q-1). False when that is impossible.
bool recomputePrivateExponent(RsaParts& parts) {
    certs::BnCtxPtr ctx(BN_CTX_new());
    certs::BignumPtr p1(BN_new()), q1(BN_new()), phi(BN_new());
    if (!ctx || !p1 || !q1 || !phi)
        return false;
    if (!BN_sub(p1.get(), parts.p.get(), BN_value_one()) ||
        !BN_sub(q1.get(), parts.q.get(), BN_value_one()) ||
        !BN_mul(phi.get(), p1.get(), q1.get(), ctx.get()))
        return false;
    certs::BignumPtr d(BN_mod_inverse(nullptr, parts.e.get(), phi.get(), ctx.get()));
    if (!d)
        return false;
    parts.d = std::move(d);
    return true;
}

template <typename T> CK_ATTRIBUTE attr(CK_ATTRIBUTE_TYPE type, T& value) {
    return CK_ATTRIBUTE{type, &value, sizeof value};
}
CK_ATTRIBUTE bytesAttr(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    return CK_ATTRIBUTE{type, const_cast<unsigned char*>(value.data()),
                        static_cast<CK_ULONG>(value.size())};
}
CK_ATTRIBUTE textAttr(CK_ATTRIBUTE_TYPE type, const std::string& value, bool withNul) {
    return CK_ATTRIBUTE{type, const_cast<char*>(value.c_str()),
                        static_cast<CK_ULONG>(value.size() + (withNul ? 1 : 0))};
}

// Without a container name (a module without the vendor table makes none)
// the template is cut to what every module takes: the vendor attribute goes,
// and so does CKA_LOCAL, which the standard makes read-only (false is what a
// created object gets anyway). Returns the count left.
CK_ULONG dropEmptyContainerName(CK_ATTRIBUTE* attributes, CK_ULONG count) {
    bool anyModule = false;
    for (CK_ULONG i = 0; i < count; ++i)
        if (attributes[i].type == CKA_CONTAINER_NAME && attributes[i].ulValueLen <= 1)
            anyModule = true;
    if (!anyModule)
        return count;
    CK_ATTRIBUTE* end = std::remove_if(attributes, attributes + count, [](const CK_ATTRIBUTE& a) {
        return a.type == CKA_CONTAINER_NAME || a.type == CKA_LOCAL;
    });
    return static_cast<CK_ULONG>(end - attributes);
}

} // namespace

bool IsKnownCertificate(const Bytes& der, const std::vector<Bytes>& knownCertificates) {
    return std::find(knownCertificates.begin(), knownCertificates.end(), der) !=
           knownCertificates.end();
}

bool CheckDuplicateCertificate(const Bytes& der, const std::vector<Bytes>& knownCertificates,
                               Prompter* prompter) {
    if (!IsKnownCertificate(der, knownCertificates))
        return true;
    return prompter != nullptr &&
           prompter->confirm(5033, "The certificate already exists, continue?");
}

CertificateObjectResult
CreateCertificateObject(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session, X509* certificate,
                        const Bytes& idBytes, const std::string& containerName,
                        const std::vector<Bytes>& knownCertificates, Prompter* prompter) {
    CertificateObjectResult result;
    Bytes der = certificate != nullptr ? EncodeCertificateDer(certificate) : Bytes();
    if (der.empty()) {
        result.unsupported = true;
        return result;
    }
    result.duplicate = IsKnownCertificate(der, knownCertificates);
    if (!CheckDuplicateCertificate(der, knownCertificates, prompter)) {
        result.declined = true;
        return result;
    }
    certs::X509Ptr decoded = DecodeCertificateDer(der);
    if (!decoded) {
        result.unsupported = true;
        return result;
    }
    result.label = MakeCertificateLabel(decoded.get());
    Bytes subject = nameDer(X509_get_subject_name(decoded.get()));
    Bytes issuer = nameDer(X509_get_issuer_name(decoded.get()));
    Bytes serial = integerDer(X509_get0_serialNumber(decoded.get()));

    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &objectClass, ulongLength()},
        attr(CKA_TOKEN, yes),
        attr(CKA_PRIVATE, no),
        textAttr(CKA_LABEL, result.label, false),
        {CKA_CERTIFICATE_TYPE, &type, ulongLength()},
        bytesAttr(CKA_SUBJECT, subject),
        bytesAttr(CKA_ISSUER, issuer),
        bytesAttr(CKA_SERIAL_NUMBER, serial),
        bytesAttr(CKA_VALUE, der),
        bytesAttr(CKA_ID, idBytes),
        textAttr(CKA_CONTAINER_NAME, containerName, true),
    };
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    result.rv = functions->C_CreateObject(
        session, attributes, dropEmptyContainerName(attributes, std::size(attributes)), &handle);
    if (result.rv != CKR_OK) {
        platform::debugOutputf("Error:Save P12 Cert: C_CreateObject() NULL, 0x%08lX",
                               static_cast<unsigned long>(result.rv));
        return result;
    }
    result.handle = handle;
    return result;
}

KeyObjectResult CreatePrivateKeyObject(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                                       EVP_PKEY* key, const X509* certificate,
                                       const KeyObjectLabels& labels, KeyUsage usage) {
    KeyObjectResult result;
    result.failed = true;
    if (key == nullptr || certificate == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return result;
    RsaParts parts = rsaParts(key);
    if (!parts.d || !parts.complete())
        return result;
    if (!keyChecks(key)) {
        if (!recomputePrivateExponent(parts))
            return result;
        certs::EvpPkeyPtr mended = keyFromParts(parts);
        if (!mended || !keyChecks(mended.get()))
            return result;
    }
    result.failed = false;

    Bytes subject = nameDer(X509_get_subject_name(certificate));
    Bytes n = bnBytes(parts.n.get()), e = bnBytes(parts.e.get()), d = bnBytes(parts.d.get());
    Bytes p = bnBytes(parts.p.get()), q = bnBytes(parts.q.get());
    Bytes dmp1 = bnBytes(parts.dmp1.get()), dmq1 = bnBytes(parts.dmq1.get());
    Bytes iqmp = bnBytes(parts.iqmp.get());

    CK_OBJECT_CLASS objectClass = CKO_PRIVATE_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_BBOOL decrypt = usage == UsageSign ? CK_FALSE : CK_TRUE;
    CK_BBOOL sign = usage == UsageEncrypt ? CK_FALSE : CK_TRUE;
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &objectClass, ulongLength()},
        attr(CKA_TOKEN, yes),
        attr(CKA_PRIVATE, yes),
        textAttr(CKA_LABEL, labels.label, false),
        {CKA_KEY_TYPE, &keyType, ulongLength()},
        bytesAttr(CKA_ID, labels.idBytes),
        attr(CKA_LOCAL, no),
        bytesAttr(CKA_SUBJECT, subject),
        bytesAttr(CKA_MODULUS, n),
        bytesAttr(CKA_PUBLIC_EXPONENT, e),
        bytesAttr(CKA_PRIVATE_EXPONENT, d),
        bytesAttr(CKA_PRIME_1, p),
        bytesAttr(CKA_PRIME_2, q),
        bytesAttr(CKA_EXPONENT_1, dmp1),
        bytesAttr(CKA_EXPONENT_2, dmq1),
        bytesAttr(CKA_COEFFICIENT, iqmp),
        textAttr(CKA_CONTAINER_NAME, labels.containerName, true),
        attr(CKA_DECRYPT, decrypt),
        attr(CKA_SIGN, sign),
    };
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    result.rv = functions->C_CreateObject(
        session, attributes, dropEmptyContainerName(attributes, std::size(attributes)), &handle);
    OPENSSL_cleanse(d.data(), d.size());
    OPENSSL_cleanse(p.data(), p.size());
    OPENSSL_cleanse(q.data(), q.size());
    OPENSSL_cleanse(dmp1.data(), dmp1.size());
    OPENSSL_cleanse(dmq1.data(), dmq1.size());
    OPENSSL_cleanse(iqmp.data(), iqmp.size());
    if (result.rv != CKR_OK) {
        platform::debugOutputf("Error:Save P12 PrivateKey: C_CreateObject() NULL, 0x%08lX",
                               static_cast<unsigned long>(result.rv));
        return result;
    }
    result.handle = handle;
    return result;
}

KeyObjectResult CreatePublicKeyObject(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                                      EVP_PKEY* key, const X509* certificate,
                                      const KeyObjectLabels& labels, KeyUsage usage) {
    KeyObjectResult result;
    result.failed = true;
    EVP_PKEY* certificateKey = certificate != nullptr ? X509_get0_pubkey(certificate) : nullptr;
    if (certificateKey == nullptr || key == nullptr)
        return result;
    certs::BignumPtr publicN = bnParam(certificateKey, OSSL_PKEY_PARAM_RSA_N);
    certs::BignumPtr publicE = bnParam(certificateKey, OSSL_PKEY_PARAM_RSA_E);
    certs::BignumPtr n = bnParam(key, OSSL_PKEY_PARAM_RSA_N);
    certs::BignumPtr e = bnParam(key, OSSL_PKEY_PARAM_RSA_E);
    // The bytes come from the private key; they must be the certificate's key too.
    if (!publicN || !publicE || !n || !e || BN_cmp(publicN.get(), n.get()) != 0 ||
        BN_cmp(publicE.get(), e.get()) != 0)
        return result;
    result.failed = false;

    Bytes subject = nameDer(X509_get_subject_name(certificate));
    Bytes modulus = bnBytes(n.get()), exponent = bnBytes(e.get());
    CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE keyType = CKK_RSA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_BBOOL encrypt = usage == UsageSign ? CK_FALSE : CK_TRUE;
    CK_BBOOL verify = usage == UsageEncrypt ? CK_FALSE : CK_TRUE;
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &objectClass, ulongLength()},
        attr(CKA_TOKEN, yes),
        attr(CKA_PRIVATE, no),
        textAttr(CKA_LABEL, labels.label, false),
        {CKA_KEY_TYPE, &keyType, ulongLength()},
        bytesAttr(CKA_ID, labels.idBytes),
        attr(CKA_LOCAL, no),
        bytesAttr(CKA_SUBJECT, subject),
        bytesAttr(CKA_MODULUS, modulus),
        bytesAttr(CKA_PUBLIC_EXPONENT, exponent),
        textAttr(CKA_CONTAINER_NAME, labels.containerName, true),
        attr(CKA_ENCRYPT, encrypt),
        attr(CKA_VERIFY, verify),
    };
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    result.rv = functions->C_CreateObject(
        session, attributes, dropEmptyContainerName(attributes, std::size(attributes)), &handle);
    if (result.rv == CKR_OK)
        result.handle = handle;
    return result;
}
