#include "Pkcs12Import.h"

#include "platform/DebugOutput.h"
#include "platform/Guid.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>

namespace {

// Files from older systems use RC2 and 3DES, which OpenSSL 3 keeps in its
// legacy provider. It is loaded into a library context of our own, used
// only while a PKCS#12 file is decrypted, so the rest of the process keeps
// OpenSSL's default algorithms and nothing else.
OSSL_LIB_CTX* decodingContext() {
    // Held until the program ends, then released before OpenSSL cleans up
    // (this object is made after OpenSSL registered its own exit handler).
    struct Context {
        Context() : context(OSSL_LIB_CTX_new()) {
            if (context == nullptr)
                return;
            standard = OSSL_PROVIDER_load(context, "default");
            legacy = OSSL_PROVIDER_load(context, "legacy");
        }
        ~Context() {
            if (legacy != nullptr)
                OSSL_PROVIDER_unload(legacy);
            if (standard != nullptr)
                OSSL_PROVIDER_unload(standard);
            OSSL_LIB_CTX_free(context);
        }
        OSSL_LIB_CTX* context;
        OSSL_PROVIDER* standard = nullptr;
        OSSL_PROVIDER* legacy = nullptr;
    };
    static Context holder;
    return holder.context;
}

// The PKCS#12 MAC and bag decryption of OpenSSL 3.0 take no library
// context, so ours is made this thread's default for the call only.
class DecodingScope {
public:
    DecodingScope() {
        if (OSSL_LIB_CTX* context = decodingContext())
            previous_ = OSSL_LIB_CTX_set0_default(context);
    }
    ~DecodingScope() {
        if (previous_ != nullptr)
            OSSL_LIB_CTX_set0_default(previous_);
    }
    DecodingScope(const DecodingScope&) = delete;
    DecodingScope& operator=(const DecodingScope&) = delete;

private:
    OSSL_LIB_CTX* previous_ = nullptr;
};

// The iteration count of a password-based encryption (PBES1 or PBES2 with
// PBKDF2); 0 when the algorithm is none of those, -1 when its parameters do
// not decode.
long pbeIterations(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* oid = nullptr;
    int parameterType = 0;
    const void* parameter = nullptr;
    X509_ALGOR_get0(&oid, &parameterType, &parameter, algorithm);
    if (parameterType != V_ASN1_SEQUENCE)
        return 0;
    const ASN1_TYPE* wrapped = algorithm->parameter;
    if (OBJ_obj2nid(oid) == NID_pbes2) {
        std::unique_ptr<PBE2PARAM, void (*)(PBE2PARAM*)> pbes2(
            static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), wrapped)),
            PBE2PARAM_free);
        if (!pbes2 || pbes2->keyfunc == nullptr)
            return -1;
        if (OBJ_obj2nid(pbes2->keyfunc->algorithm) != NID_id_pbkdf2)
            return 0;
        std::unique_ptr<PBKDF2PARAM, void (*)(PBKDF2PARAM*)> kdf(
            static_cast<PBKDF2PARAM*>(
                ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbes2->keyfunc->parameter)),
            PBKDF2PARAM_free);
        return kdf ? ASN1_INTEGER_get(kdf->iter) : -1;
    }
    if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, OBJ_obj2nid(oid), nullptr, nullptr, nullptr) != 1)
        return 0;
    std::unique_ptr<PBEPARAM, void (*)(PBEPARAM*)> pbes1(
        static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), wrapped)),
        PBEPARAM_free);
    return pbes1 ? ASN1_INTEGER_get(pbes1->iter) : -1;
}

// Adds a count to the work a file asks for. False when the count is beyond
// reason or the total passes the cap.
bool addIterations(long iterations, long& total) {
    if (iterations < 0 || iterations > kMaxPkcs12Iterations - total)
        return false;
    total += iterations;
    return true;
}

// Whether the file's MAC and encrypted contents ask for no more work than a
// real file does. Checked before any key derivation, which runs the file's
// own count for every password tried.
bool iterationsAcceptable(PKCS12* p12) {
    long total = 0;
    if (PKCS12_mac_present(p12)) {
        const ASN1_INTEGER* macIterations = nullptr;
        PKCS12_get0_mac(nullptr, nullptr, nullptr, &macIterations, p12);
        // An absent count means 1.
        if (!addIterations(macIterations != nullptr ? ASN1_INTEGER_get(macIterations) : 1, total))
            return false;
    }
    certs::AuthSafesPtr safes(PKCS12_unpack_authsafes(p12));
    if (!safes)
        return true; // fails later as it always did
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        const PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        if (!PKCS7_type_is_encrypted(safe) || safe->d.encrypted == nullptr ||
            safe->d.encrypted->enc_data == nullptr)
            continue;
        if (!addIterations(pbeIterations(safe->d.encrypted->enc_data->algorithm), total))
            return false;
    }
    return true;
}

// A password as the PKCS#12 routines take it: null for "absent".
struct Password {
    const char* text;
    int length;
};

constexpr int kMaxNesting = 8;

class BagReader {
public:
    explicit BagReader(Password password) : password_(password) {}

    // False when a bag could not be decoded.
    bool findKey(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth) {
        if (depth > kMaxNesting)
            return false;
        for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags) && !key; ++i) {
            const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
            switch (PKCS12_SAFEBAG_get_nid(bag)) {
            case NID_keyBag:
            case NID_pkcs8ShroudedKeyBag:
                if (!readKey(bag))
                    return false;
                break;
            case NID_safeContentsBag:
                if (!findKey(PKCS12_SAFEBAG_get0_safes(bag), depth + 1))
                    return false;
                break;
            default:
                break;
            }
        }
        return true;
    }

    bool findCertificate(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth) {
        if (depth > kMaxNesting)
            return false;
        for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
            const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
            int nid = PKCS12_SAFEBAG_get_nid(bag);
            if (nid == NID_safeContentsBag) {
                if (!findCertificate(PKCS12_SAFEBAG_get0_safes(bag), depth + 1))
                    return false;
                continue;
            }
            if (nid != NID_certBag || PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate)
                continue;
            certs::X509Ptr candidate(PKCS12_SAFEBAG_get1_cert(bag));
            if (!candidate)
                return false;
            // Certificates of the chain, and any without the key's identifier, are dropped.
            if (!certificate && key && localKeyId(bag) == keyId_)
                certificate = std::move(candidate);
        }
        return true;
    }

    certs::EvpPkeyPtr key;
    certs::X509Ptr certificate;
    // A key bag asked for more key derivation work than any real file.
    bool tooCostly = false;

private:
    static std::optional<Bytes> localKeyId(const PKCS12_SAFEBAG* bag) {
        const ASN1_TYPE* attribute = PKCS12_SAFEBAG_get0_attr(bag, NID_localKeyID);
        if (attribute == nullptr || attribute->type != V_ASN1_OCTET_STRING)
            return std::nullopt;
        const ASN1_OCTET_STRING* id = attribute->value.octet_string;
        const unsigned char* data = ASN1_STRING_get0_data(id);
        return Bytes(data, data + ASN1_STRING_length(id));
    }

    bool readKey(const PKCS12_SAFEBAG* bag) {
        std::optional<Bytes> id = localKeyId(bag);
        if (!id)
            return true; // only a key with an identifier is taken
        certs::Pkcs8Ptr owned;
        const PKCS8_PRIV_KEY_INFO* info = nullptr;
        if (PKCS12_SAFEBAG_get_nid(bag) == NID_keyBag) {
            info = PKCS12_SAFEBAG_get0_p8inf(bag);
        } else {
            const X509_ALGOR* algorithm = nullptr;
            X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &algorithm, nullptr);
            long iterations = algorithm != nullptr ? pbeIterations(algorithm) : -1;
            if (iterations < 0 || iterations > kMaxPkcs12Iterations) {
                tooCostly = true;
                return false;
            }
            DecodingScope scope;
            owned.reset(PKCS12_decrypt_skey(bag, password_.text, password_.length));
            info = owned.get();
        }
        if (info == nullptr)
            return false;
        key.reset(EVP_PKCS82PKEY(info));
        if (!key)
            return false;
        keyId_ = std::move(id);
        return true;
    }

    Password password_;
    std::optional<Bytes> keyId_;
};

// Reads the bags with one password. WrongPassword when any bag fails.
ImportResult readContents(PKCS12* p12, Password password, Pkcs12Contents& out) {
    certs::AuthSafesPtr safes(PKCS12_unpack_authsafes(p12));
    if (!safes)
        return ImportResult::WrongPassword;
    std::vector<certs::SafeBagsPtr> contents;
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
        if (PKCS7_type_is_data(safe))
            bags = PKCS12_unpack_p7data(safe);
        else if (PKCS7_type_is_encrypted(safe)) {
            DecodingScope scope;
            bags = PKCS12_unpack_p7encdata(safe, password.text, password.length);
        } else
            continue; // public-key protected contents: nothing we can open
        if (bags == nullptr)
            return ImportResult::WrongPassword;
        contents.emplace_back(bags);
    }

    BagReader reader(password);
    for (const auto& bags : contents)
        if (!reader.findKey(bags.get(), 0))
            return reader.tooCostly ? ImportResult::NotSupported : ImportResult::WrongPassword;
    for (const auto& bags : contents)
        if (!reader.findCertificate(bags.get(), 0))
            return ImportResult::WrongPassword;
    out.key = std::move(reader.key);
    out.certificate = std::move(reader.certificate);
    return ImportResult::Success;
}

// Every byte as the Unicode character of the same number, in UTF-8. Written
// into a buffer reserved up front, so no reallocation leaves a copy behind.
void latin1AsUtf8(std::string_view bytes, std::string& out) {
    WipePassword(out);
    out.reserve(2 * bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
}

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

} // namespace

ImportResult ReadImportFile(const std::string& path, Bytes& content) {
    content.clear();
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return ImportResult::FileNotFound;
    file.seekg(0, std::ios::end);
    std::streamoff size = file.tellg();
    if (size < 0)
        return ImportResult::FileNotFound;
    if (static_cast<size_t>(size) > kMaxImportFileSize)
        return ImportResult::NotSupported;
    file.seekg(0);
    content.resize(static_cast<size_t>(size));
    if (size > 0 && !file.read(reinterpret_cast<char*>(content.data()), size)) {
        content.clear();
        return ImportResult::FileNotFound;
    }
    return ImportResult::Success;
}

ImportResult LoadPkcs12(const std::string& path, const std::string& password, Pkcs12Contents& out) {
    Bytes content;
    if (ImportResult read = ReadImportFile(path, content); read != ImportResult::Success)
        return read;
    return LoadPkcs12Bytes(content, password, out);
}

ImportResult LoadPkcs12Bytes(const Bytes& der, const std::string& password, Pkcs12Contents& out) {
    out = {};
    const unsigned char* p = der.data();
    certs::Pkcs12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(der.size())));
    if (!p12 || !iterationsAcceptable(p12.get()))
        return ImportResult::NotSupported;

    // A password is what the user typed, up to its first NUL. An empty one may
    // have been absent or empty when the file was made: those differ in the MAC.
    std::vector<Password> candidates;
    std::string latin1Form;
    struct Wipe {
        std::string& text;
        ~Wipe() { WipePassword(text); }
    } wipeLatin1{latin1Form};
    if (!password.empty() && password[0] != '\0') {
        const std::string_view typed(password.c_str());
        candidates.push_back({password.c_str(), -1});
        // Files from older libraries took each byte of a non-ASCII password as one
        // character. The same key comes from reading the bytes as Latin-1.
        latin1AsUtf8(typed, latin1Form);
        if (latin1Form != typed)
            candidates.push_back({latin1Form.c_str(), -1});
    } else {
        candidates = {{nullptr, 0}, {"", 0}};
    }

    ImportResult result = ImportResult::WrongPassword;
    if (PKCS12_mac_present(p12.get())) {
        auto verified = std::find_if(candidates.begin(), candidates.end(), [&](Password c) {
            DecodingScope scope;
            return PKCS12_verify_mac(p12.get(), c.text, c.length) == 1;
        });
        if (verified == candidates.end())
            return ImportResult::WrongPassword;
        result = readContents(p12.get(), *verified, out);
    } else {
        // Without a MAC only the bags themselves tell whether the password fits.
        for (Password candidate : candidates) {
            result = readContents(p12.get(), candidate, out);
            if (result != ImportResult::WrongPassword)
                break;
        }
    }
    if (result != ImportResult::Success) {
        out = {};
        return result;
    }
    if (!out.key || !out.certificate || EVP_PKEY_get_base_id(out.key.get()) != EVP_PKEY_RSA ||
        EVP_PKEY_eq(X509_get0_pubkey(out.certificate.get()), out.key.get()) != 1) {
        out = {};
        return ImportResult::NotSupported;
    }
    return ImportResult::Success;
}

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
    result.rv = functions->C_CreateObject(session, attributes, std::size(attributes), &handle);
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
    result.rv = functions->C_CreateObject(session, attributes, std::size(attributes), &handle);
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
    result.rv = functions->C_CreateObject(session, attributes, std::size(attributes), &handle);
    if (result.rv == CKR_OK)
        result.handle = handle;
    return result;
}

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
    default:
        return ImportResult::NoSpace;
    }
}

ImportOutcome ImportPkcs12File(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session,
                               const std::string& path, const std::string& password,
                               const std::vector<Bytes>& knownCertificates,
                               const std::string& containerName, KeyUsage usage,
                               Prompter* prompter) {
    ImportOutcome outcome;
    std::string id = platform::newGuidText();
    if (id.size() != 36 || functions == nullptr)
        return outcome; // GeneralFailure

    Pkcs12Contents contents;
    outcome.result = LoadPkcs12(path, password, contents);
    if (outcome.result != ImportResult::Success)
        return outcome;

    KeyObjectLabels labels;
    labels.idBytes.assign(id.begin(), id.end());
    labels.containerName = containerName;

    std::vector<CK_OBJECT_HANDLE> written;
    CK_RV failure = CKR_OK;
    CertificateObjectResult certificate =
        CreateCertificateObject(functions, session, contents.certificate.get(), labels.idBytes,
                                containerName, knownCertificates, prompter);
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
