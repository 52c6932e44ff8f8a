#include "Pkcs12Import.h"
#include "Pkcs12WorkCap.h"

#include <openssl/provider.h>
#include <openssl/x509.h>

#include <fstream>
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

constexpr int kMaxNesting = 8;

// Charges the shrouded key bags of contents that open without a password.
bool chargeKeyBags(const STACK_OF(PKCS12_SAFEBAG) * bags, int depth, Pkcs12WorkCap& cap) {
    if (depth > kMaxNesting)
        return true; // refused when the bags are read
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        if (PKCS12_SAFEBAG_get_nid(bag) == NID_pkcs8ShroudedKeyBag) {
            const X509_ALGOR* algorithm = nullptr;
            X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &algorithm, nullptr);
            if (!cap.charge(algorithm))
                return false;
        } else if (PKCS12_SAFEBAG_get_nid(bag) == NID_safeContentsBag &&
                   !chargeKeyBags(PKCS12_SAFEBAG_get0_safes(bag), depth + 1, cap)) {
            return false;
        }
    }
    return true;
}

// Whether one password tried on the file asks for no more work than the cap:
// its MAC, its encrypted contents and the key bags visible without a
// password. Checked before any key derivation runs.
bool workAcceptable(PKCS12* p12) {
    Pkcs12WorkCap cap;
    if (PKCS12_mac_present(p12)) {
        const ASN1_INTEGER* macIterations = nullptr;
        PKCS12_get0_mac(nullptr, nullptr, nullptr, &macIterations, p12);
        if (!cap.chargeMac(macIterations))
            return false;
    }
    certs::AuthSafesPtr safes(PKCS12_unpack_authsafes(p12));
    if (!safes)
        return true; // fails later as it always did
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
        const PKCS7* safe = sk_PKCS7_value(safes.get(), i);
        if (PKCS7_type_is_data(safe)) {
            certs::SafeBagsPtr bags(PKCS12_unpack_p7data(const_cast<PKCS7*>(safe)));
            if (bags && !chargeKeyBags(bags.get(), 0, cap))
                return false;
            continue;
        }
        if (!PKCS7_type_is_encrypted(safe) || safe->d.encrypted == nullptr ||
            safe->d.encrypted->enc_data == nullptr)
            continue;
        if (!cap.charge(safe->d.encrypted->enc_data->algorithm))
            return false;
    }
    return true;
}

// A password as the PKCS#12 routines take it: null for "absent".
struct Password {
    const char* text;
    int length;
};

class BagReader {
public:
    BagReader(Password password, Pkcs12WorkCap& work) : password_(password), work_(work) {}

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
    // A key bag asked for more key derivation work than is left.
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
            if (!work_.charge(algorithm)) {
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
    Pkcs12WorkCap& work_;
    std::optional<Bytes> keyId_;
};

// Reads the bags with one password, each derivation charged to `work`.
// WrongPassword when any bag fails, NotSupported when the work runs out.
ImportResult readContents(PKCS12* p12, Password password, Pkcs12WorkCap& work,
                          Pkcs12Contents& out) {
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
            if (safe->d.encrypted == nullptr || safe->d.encrypted->enc_data == nullptr ||
                !work.charge(safe->d.encrypted->enc_data->algorithm))
                return ImportResult::NotSupported;
            DecodingScope scope;
            bags = PKCS12_unpack_p7encdata(safe, password.text, password.length);
        } else
            continue; // public-key protected contents: nothing we can open
        if (bags == nullptr)
            return ImportResult::WrongPassword;
        contents.emplace_back(bags);
    }

    BagReader reader(password, work);
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
    if (!p12 || !workAcceptable(p12.get()))
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

    // Every password tried derives again; all of it together stays within the cap.
    Pkcs12WorkCap work;
    ImportResult result = ImportResult::WrongPassword;
    if (PKCS12_mac_present(p12.get())) {
        const ASN1_INTEGER* macIterations = nullptr;
        PKCS12_get0_mac(nullptr, nullptr, nullptr, &macIterations, p12.get());
        auto verified = candidates.end();
        for (auto c = candidates.begin(); c != candidates.end() && verified == candidates.end();
             ++c) {
            if (!work.chargeMac(macIterations))
                return ImportResult::NotSupported;
            DecodingScope scope;
            if (PKCS12_verify_mac(p12.get(), c->text, c->length) == 1)
                verified = c;
        }
        if (verified == candidates.end())
            return ImportResult::WrongPassword;
        result = readContents(p12.get(), *verified, work, out);
    } else {
        // Without a MAC only the bags themselves tell whether the password fits.
        for (Password candidate : candidates) {
            result = readContents(p12.get(), candidate, work, out);
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
