#include "CertFixtures.h"

#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

namespace fixtures {

namespace {

void require(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(what);
}

certs::EvpPkeyPtr shared(EVP_PKEY* key) {
    EVP_PKEY_up_ref(key);
    return certs::EvpPkeyPtr(key);
}

void addName(X509_NAME* name, const Name& parts) {
    auto add = [&](const char* field, const std::string& value) {
        if (!value.empty())
            X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                       -1, 0);
    };
    add("O", parts.o);
    add("OU", parts.ou);
    add("CN", parts.cn);
    add("emailAddress", parts.email);
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    require(extension != nullptr, "extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// Legacy ciphers for the test files come from a library context of the
// fixtures' own, so the process's default context stays as the program
// under test leaves it.
class LegacyScope {
public:
    LegacyScope() {
        struct Context {
            Context() : context(OSSL_LIB_CTX_new()) {
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
        previous_ = OSSL_LIB_CTX_set0_default(holder.context);
    }
    ~LegacyScope() { OSSL_LIB_CTX_set0_default(previous_); }
    LegacyScope(const LegacyScope&) = delete;
    LegacyScope& operator=(const LegacyScope&) = delete;

private:
    OSSL_LIB_CTX* previous_;
};

// DER helpers for the nested safe contents bag, which OpenSSL cannot build.
Bytes derLength(size_t length) {
    if (length < 0x80)
        return {static_cast<unsigned char>(length)};
    Bytes bytes;
    for (size_t n = length; n > 0; n >>= 8)
        bytes.insert(bytes.begin(), static_cast<unsigned char>(n & 0xFF));
    bytes.insert(bytes.begin(), static_cast<unsigned char>(0x80 | bytes.size()));
    return bytes;
}

Bytes tlv(unsigned char tag, const Bytes& content) {
    Bytes out{tag};
    Bytes length = derLength(content.size());
    out.insert(out.end(), length.begin(), length.end());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

PKCS12_SAFEBAG* nestedBag(STACK_OF(PKCS12_SAFEBAG) * inner) {
    unsigned char* der = nullptr;
    int length =
        ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(inner), &der, ASN1_ITEM_rptr(PKCS12_SAFEBAGS));
    require(length > 0, "inner bags");
    Bytes contents(der, der + length);
    OPENSSL_free(der);
    const Bytes oid = {0x06, 0x0B, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                       0x0D, 0x01, 0x0C, 0x0A, 0x01, 0x06};
    Bytes body = oid;
    Bytes value = tlv(0xA0, contents);
    body.insert(body.end(), value.begin(), value.end());
    Bytes bag = tlv(0x30, body);
    const unsigned char* p = bag.data();
    PKCS12_SAFEBAG* result = d2i_PKCS12_SAFEBAG(nullptr, &p, static_cast<long>(bag.size()));
    require(result != nullptr, "nested bag");
    return result;
}

Bytes keyId(EVP_PKEY* key) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    unsigned char* der = nullptr;
    int size = i2d_PUBKEY(key, &der);
    EVP_Digest(der, static_cast<size_t>(size), digest, &length, EVP_sha1(), nullptr);
    OPENSSL_free(der);
    return Bytes(digest, digest + length);
}

// A shrouded key bag under PBES2 with scrypt, which PKCS12_add_key cannot make.
PKCS12_SAFEBAG* addScryptKey(STACK_OF(PKCS12_SAFEBAG) * *bags, EVP_PKEY* key, const char* password,
                             std::uint64_t n, std::uint64_t r, std::uint64_t p) {
    X509_ALGOR* algorithm = PKCS5_pbe2_set_scrypt(EVP_aes_256_cbc(), nullptr, 0, nullptr, n, r, p);
    require(algorithm != nullptr, "scrypt parameters");
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    X509_SIG* shrouded = PKCS8_set0_pbe(password, -1, info, algorithm);
    PKCS8_PRIV_KEY_INFO_free(info);
    if (shrouded == nullptr)
        X509_ALGOR_free(algorithm);
    require(shrouded != nullptr, "scrypt key");
    PKCS12_SAFEBAG* bag = PKCS12_SAFEBAG_create0_pkcs8(shrouded);
    if (*bags == nullptr)
        *bags = sk_PKCS12_SAFEBAG_new_null();
    require(bag != nullptr && sk_PKCS12_SAFEBAG_push(*bags, bag) > 0, "scrypt bag");
    return bag;
}

} // namespace

certs::EvpPkeyPtr rsaKey(int bits, int index) {
    static std::map<std::pair<int, int>, certs::EvpPkeyPtr> keys;
    static std::mutex mutex;
    std::lock_guard guard(mutex);
    auto& key = keys[{bits, index}];
    if (!key) {
        key.reset(EVP_RSA_gen(static_cast<unsigned>(bits)));
        require(key != nullptr, "RSA key");
    }
    return shared(key.get());
}

certs::EvpPkeyPtr ecKey() {
    static certs::EvpPkeyPtr key(EVP_EC_gen("P-256"));
    return shared(key.get());
}

certs::EvpPkeyPtr ed25519Key() {
    static certs::EvpPkeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    return shared(key.get());
}

certs::X509Ptr makeCertificate(const CertRecipe& recipe, EVP_PKEY* subjectKey, EVP_PKEY* issuerKey,
                               X509* issuerCert) {
    certs::X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), recipe.extensions ? 2 : 0);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), recipe.serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), recipe.notBeforeDays * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), recipe.notAfterDays * 86400L);
    addName(X509_get_subject_name(certificate.get()), recipe.subject);
    X509_set_issuer_name(certificate.get(), issuerCert != nullptr
                                                ? X509_get_subject_name(issuerCert)
                                                : X509_get_subject_name(certificate.get()));
    X509_set_pubkey(certificate.get(), subjectKey);
    X509* issuer = issuerCert != nullptr ? issuerCert : certificate.get();
    if (recipe.extensions) {
        addExtension(certificate.get(), issuer, NID_basic_constraints,
                     recipe.ca ? "critical,CA:TRUE" : "critical,CA:FALSE");
        addExtension(certificate.get(), issuer, NID_key_usage,
                     recipe.ca ? "critical,keyCertSign,cRLSign"
                             : "critical,digitalSignature,keyEncipherment");
        addExtension(certificate.get(), issuer, NID_subject_key_identifier, "hash");
    }
    bool edwards = EVP_PKEY_get_base_id(issuerKey) == EVP_PKEY_ED25519;
    require(X509_sign(certificate.get(), issuerKey, edwards ? nullptr : EVP_sha256()) > 0, "sign");
    return certificate;
}

certs::X509Ptr selfSigned(const std::string& cn, EVP_PKEY* key, long serial) {
    CertRecipe recipe;
    recipe.subject = {cn, "", "", ""};
    recipe.serial = serial;
    return makeCertificate(recipe, key, key);
}

std::string pem(X509* certificate) {
    certs::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), certificate);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

Bytes makePkcs12(EVP_PKEY* key, X509* certificate, const Pkcs12Recipe& recipe) {
    LegacyScope legacy;
    const char* password = recipe.nullPassword ? nullptr : recipe.password.c_str();
    int keyNid = -1, safeNid = -1;
    if (recipe.cipher == Cipher::Modern || recipe.cipher == Cipher::Scrypt)
        keyNid = safeNid = NID_aes_256_cbc;
    else if (recipe.cipher == Cipher::Legacy) {
        keyNid = NID_pbe_WithSHA1And3_Key_TripleDES_CBC;
        safeNid = NID_pbe_WithSHA1And40BitRC2_CBC;
    }
    Bytes id =
        recipe.keyKeyId.empty() ? keyId(key) : Bytes(recipe.keyKeyId.begin(), recipe.keyKeyId.end());
    Bytes certificateId = recipe.certificateKeyId.empty()
                              ? id
                              : Bytes(recipe.certificateKeyId.begin(), recipe.certificateKeyId.end());

    STACK_OF(PKCS12_SAFEBAG)* certificateBags = nullptr;
    auto addChain = [&] {
        for (X509* extra : recipe.chain)
            require(PKCS12_add_cert(&certificateBags, extra) != nullptr, "chain bag");
    };
    if (recipe.chainFirst)
        addChain();
    PKCS12_SAFEBAG* certificateBag = PKCS12_add_cert(&certificateBags, certificate);
    require(certificateBag != nullptr, "certificate bag");
    PKCS12_add_localkeyid(certificateBag, certificateId.data(),
                          static_cast<int>(certificateId.size()));
    if (!recipe.chainFirst)
        addChain();

    STACK_OF(PKCS12_SAFEBAG)* keyBags = nullptr;
    PKCS12_SAFEBAG* keyBag = recipe.cipher == Cipher::Scrypt
                                 ? addScryptKey(&keyBags, key, password, recipe.scrypt.n,
                                                recipe.scrypt.r, recipe.scrypt.p)
                                 : PKCS12_add_key(&keyBags, key, 0, 2048, keyNid, password);
    require(keyBag != nullptr, "key bag");
    if (!recipe.keyWithoutId)
        PKCS12_add_localkeyid(keyBag, id.data(), static_cast<int>(id.size()));

    if (recipe.nested) {
        STACK_OF(PKCS12_SAFEBAG)* outer = sk_PKCS12_SAFEBAG_new_null();
        sk_PKCS12_SAFEBAG_push(outer, nestedBag(certificateBags));
        certs::freeSafeBags(certificateBags);
        certificateBags = outer;
        outer = sk_PKCS12_SAFEBAG_new_null();
        sk_PKCS12_SAFEBAG_push(outer, nestedBag(keyBags));
        certs::freeSafeBags(keyBags);
        keyBags = outer;
    }

    STACK_OF(PKCS7)* safes = nullptr;
    require(PKCS12_add_safe(&safes, certificateBags, safeNid, 2048, password), "cert safe");
    require(PKCS12_add_safe(&safes, keyBags, -1, 2048, password), "key safe");
    certs::freeSafeBags(certificateBags);
    certs::freeSafeBags(keyBags);
    certs::Pkcs12Ptr p12(PKCS12_add_safes(safes, 0));
    certs::freeAuthSafes(safes);
    require(p12 != nullptr, "pkcs12");

    switch (recipe.mac) {
    case Mac::Password:
        require(PKCS12_set_mac(p12.get(), password, -1, nullptr, 0, 2048, EVP_sha256()) == 1,
                "mac");
        break;
    case Mac::Sha1:
        require(PKCS12_set_mac(p12.get(), password, -1, nullptr, 0, 2048, EVP_sha1()) == 1, "mac");
        break;
    case Mac::NullPassword:
        require(PKCS12_set_mac(p12.get(), nullptr, 0, nullptr, 0, 2048, EVP_sha256()) == 1, "mac");
        break;
    case Mac::Absent:
        break;
    }
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(p12.get(), &der);
    require(length > 0, "pkcs12 der");
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

Bytes makePkcs7(const std::vector<X509*>& certificates) {
    certs::Pkcs7Ptr p7(PKCS7_new());
    PKCS7_set_type(p7.get(), NID_pkcs7_signed);
    PKCS7_content_new(p7.get(), NID_pkcs7_data);
    for (X509* certificate : certificates)
        PKCS7_add_certificate(p7.get(), certificate);
    unsigned char* der = nullptr;
    int length = i2d_PKCS7(p7.get(), &der);
    require(length > 0, "pkcs7");
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

Bytes makePkcs7Data() {
    certs::Pkcs7Ptr p7(PKCS7_new());
    PKCS7_set_type(p7.get(), NID_pkcs7_data);
    unsigned char* der = nullptr;
    int length = i2d_PKCS7(p7.get(), &der);
    require(length > 0, "pkcs7 data");
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

std::string pemPkcs7(const Bytes& der) {
    const unsigned char* p = der.data();
    certs::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    certs::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PKCS7(bio.get(), p7.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

Bytes readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string base64(const Bytes& bytes, size_t lineLength, const std::string& eol) {
    std::string encoded((bytes.size() + 2) / 3 * 4 + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), bytes.data(),
                                 static_cast<int>(bytes.size()));
    encoded.resize(static_cast<size_t>(length));
    if (lineLength == 0)
        return encoded;
    std::string out;
    for (size_t i = 0; i < encoded.size(); i += lineLength) {
        if (i > 0)
            out += eol;
        out += encoded.substr(i, lineLength);
    }
    return out;
}

} // namespace fixtures
