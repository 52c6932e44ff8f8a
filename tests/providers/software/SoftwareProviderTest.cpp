// The default provider's share of the provider contract, called through CryptoAPI as the
// controls call it, after the module registered itself into a temporary registry store.
#include "../core/TestKeys.h"

#include "providers/core/RsaKey.h"

#include "platform/Registry.h"

#include <wincrypt.h>

#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

using namespace providers;
using namespace providers::testing;

namespace {

constexpr const char* providerName = "KorvanNG Software RSA Provider v1.0";
constexpr const char* providerKey =
    "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\KorvanNG Software RSA Provider v1.0";
constexpr const char* typeKey = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider Types\\Type 001";
constexpr const char* moduleFile = KORVAN_TEST_BIN_DIR "/libkorvan_rsa_provider.so";

using SelfRegistration = HRESULT (*)();

DWORD code(HRESULT value) {
    return static_cast<DWORD>(value);
}

// A fresh registry store per test program run, holding nothing but what the module writes.
class ProviderRegistration : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/korvan-rsa-provider-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        setenv("KORVAN_REGISTRY_DIR", folder.c_str(), 1);
        module = LoadLibraryA(moduleFile);
        ASSERT_NE(module, nullptr);
        registerServer = entryPoint("DllRegisterServer");
        unregisterServer = entryPoint("DllUnregisterServer");
        ASSERT_NE(registerServer, nullptr);
        ASSERT_NE(unregisterServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    static SelfRegistration entryPoint(const char* name) {
        // void(*)() is the cast GCC accepts between unrelated function types.
        return reinterpret_cast<SelfRegistration>(
            reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    }

    static inline std::string folder;
    static inline HMODULE module = nullptr;
    static inline SelfRegistration registerServer = nullptr;
    static inline SelfRegistration unregisterServer = nullptr;
};
[[maybe_unused]] auto* const registration =
    ::testing::AddGlobalTestEnvironment(new ProviderRegistration);

std::optional<platform::RegistryKey> machineKey(const char* path) {
    return platform::RegistryKey::open(platform::RegistryRoot::LocalMachine, path);
}

class DefaultProvider : public ::testing::Test {
protected:
    HCRYPTPROV prov = 0;

    void SetUp() override {
        ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, 0))
            << std::hex << GetLastError();
    }
    void TearDown() override {
        if (prov != 0) {
            EXPECT_TRUE(CryptReleaseContext(prov, 0));
        }
    }

    HCRYPTKEY importBlob(const Bytes& blob) {
        HCRYPTKEY key = 0;
        EXPECT_TRUE(CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &key))
            << std::hex << GetLastError();
        return key;
    }
    // The controls' hash step: create, hash, then read HP_HASHVAL for its length and its bytes.
    HCRYPTHASH md5Of(const std::vector<unsigned char>& data, Bytes* value = nullptr) {
        HCRYPTHASH hash = 0;
        EXPECT_TRUE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
        EXPECT_TRUE(CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0));
        if (value != nullptr) {
            DWORD length = 0;
            EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &length, 0));
            value->resize(length);
            EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value->data(), &length, 0));
        }
        return hash;
    }
};

#define EXPECT_FAILS_WITH(call, error)                                                             \
    do {                                                                                           \
        SetLastError(0);                                                                           \
        EXPECT_FALSE(call);                                                                        \
        EXPECT_EQ(GetLastError(), code(error));                                                    \
    } while (0)

} // namespace

TEST(SoftwareProviderRegistration, NamesTheModuleAndMakesItTheDefault) {
    auto provider = machineKey(providerKey);
    ASSERT_TRUE(provider);
    EXPECT_EQ(provider->stringValue("Image Path"), std::filesystem::canonical(moduleFile).string());
    EXPECT_EQ(provider->dwordValue("Type"), 1u);
    auto type = machineKey(typeKey);
    ASSERT_TRUE(type);
    EXPECT_EQ(type->stringValue("Name"), providerName);
    EXPECT_EQ(type->stringValue("TypeName"), "RSA Full (Signature and Key Exchange)");
    // Registering again changes nothing.
    EXPECT_EQ(ProviderRegistration::registerServer(), S_OK);
    EXPECT_EQ(machineKey(providerKey)->stringValue("Image Path"), provider->stringValue("Image Path"));
}

TEST(SoftwareProviderRegistration, UnregisteringMakesTheProviderAbsent) {
    ASSERT_EQ(ProviderRegistration::unregisterServer(), S_OK);
    EXPECT_FALSE(machineKey(providerKey));
    EXPECT_FALSE(machineKey(typeKey));
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, 0));
    EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, providerName, PROV_RSA_FULL, 0));
    EXPECT_EQ(prov, 0u);
    // Unregistering what is not there is no error.
    EXPECT_EQ(ProviderRegistration::unregisterServer(), S_OK);

    ASSERT_EQ(ProviderRegistration::registerServer(), S_OK);
    EXPECT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, 0));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
}

TEST(SoftwareProviderRegistration, AnotherDefaultProviderIsLeftInPlace) {
    auto type = machineKey(typeKey);
    ASSERT_TRUE(type);
    ASSERT_TRUE(type->setString("Name", "Some Other Provider"));
    ASSERT_EQ(ProviderRegistration::unregisterServer(), S_OK);
    EXPECT_FALSE(machineKey(providerKey));
    ASSERT_TRUE(machineKey(typeKey));
    EXPECT_EQ(machineKey(typeKey)->stringValue("Name"), "Some Other Provider");
    ASSERT_EQ(ProviderRegistration::registerServer(), S_OK);
    EXPECT_EQ(machineKey(typeKey)->stringValue("Name"), providerName);
}

TEST(SoftwareProviderRegistration, RegistrationFailsCleanlyOnAnUnwritableStore) {
    const std::string file = platform::registryFilePath(platform::RegistryRoot::LocalMachine);
    std::filesystem::remove(file);
    {
        std::FILE* damaged = std::fopen(file.c_str(), "w");
        ASSERT_NE(damaged, nullptr);
        std::fputs("not a registry store", damaged);
        std::fclose(damaged);
    }
    EXPECT_EQ(ProviderRegistration::registerServer(), SELFREG_E_CLASS);
    // Later tests of this program expect a registered provider.
    std::filesystem::remove(file);
    ASSERT_EQ(ProviderRegistration::registerServer(), S_OK);
}

TEST(SoftwareProviderModule, ExportsTheWholeProviderInterface) {
    for (const char* name :
         {"CPAcquireContext", "CPReleaseContext", "CPGetProvParam", "CPSetProvParam", "CPGenKey",
          "CPGetUserKey", "CPDestroyKey", "CPExportKey", "CPImportKey", "CPGetKeyParam",
          "CPCreateHash", "CPHashData", "CPGetHashParam", "CPDestroyHash", "CPSignHash",
          "CPVerifySignature", "CPGenRandom", "CPEncrypt", "CPDecrypt"})
        EXPECT_NE(GetProcAddress(ProviderRegistration::module, name), nullptr) << name;
    // What the module links in stays inside: the registry store is a default-visibility library
    // function that only the version script keeps from the module's exports.
    EXPECT_EQ(GetProcAddress(ProviderRegistration::module,
                             "_ZN8platform11RegistryKey6createENS_12RegistryRootESt17basic_"
                             "string_viewIcSt11char_traitsIcEE"),
              nullptr);
}

TEST(SoftwareProviderAcquire, HasNoContainers) {
    HCRYPTPROV prov = 0;
    EXPECT_TRUE(CryptAcquireContextA(&prov, nullptr, providerName, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_TRUE(CryptAcquireContextA(&prov, "", nullptr, PROV_RSA_FULL, CRYPT_SILENT));
    EXPECT_TRUE(CryptReleaseContext(prov, 0));

    EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "container", nullptr, PROV_RSA_FULL, 0), NTE_BAD_KEYSET);
    EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET),
                      NTE_BAD_KEYSET);
    EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, "c", nullptr, PROV_RSA_FULL, CRYPT_DELETEKEYSET),
                      NTE_BAD_KEYSET);
    EXPECT_FAILS_WITH(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, 0x100), NTE_BAD_FLAGS);
}

TEST_F(DefaultProvider, AnswersItsNameAndHasNoPrivateKeys) {
    char name[100];
    DWORD length = sizeof name;
    ASSERT_TRUE(CryptGetProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0));
    EXPECT_STREQ(name, providerName);

    HCRYPTKEY key = 0;
    EXPECT_FAILS_WITH(CryptGetUserKey(prov, AT_SIGNATURE, &key), NTE_NO_KEY);
    EXPECT_FAILS_WITH(CryptGetUserKey(prov, AT_KEYEXCHANGE, &key), NTE_NO_KEY);
    const HCRYPTHASH hash = md5Of(bytesOf("123456"));
    EXPECT_FAILS_WITH(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &length), NTE_NO_KEY);
    const HCRYPTKEY imported = importBlob(exportPublicKeyBlob(testKey(1024), CALG_RSA_KEYX));
    Bytes buffer(128, 0x5A);
    length = 128;
    EXPECT_FAILS_WITH(CryptDecrypt(imported, 0, TRUE, 0, buffer.data(), &length), NTE_NO_KEY);
    EXPECT_EQ(buffer, Bytes(128, 0x5A));
    EXPECT_TRUE(CryptDestroyKey(imported));
    EXPECT_TRUE(CryptDestroyHash(hash));
}

TEST_F(DefaultProvider, VerifiesAnOpenSslMd5SignatureGivenLeastSignificantByteFirst) {
    const auto text = bytesOf("plain text the page signed");
    const HCRYPTKEY key = importBlob(exportPublicKeyBlob(testKey(2048), CALG_RSA_SIGN));
    Bytes digest;
    const HCRYPTHASH hash = md5Of(text, &digest);
    EXPECT_EQ(digest.size(), 16u);

    const auto signature = reversed(opensslSign(testKey(2048), EVP_md5(), text));
    EXPECT_TRUE(CryptVerifySignatureA(hash, signature.data(), static_cast<DWORD>(signature.size()),
                                      key, nullptr, 0))
        << std::hex << GetLastError();

    auto damaged = signature;
    damaged[0] ^= 0x80;
    const HCRYPTHASH again = md5Of(text);
    EXPECT_FAILS_WITH(CryptVerifySignatureA(again, damaged.data(), static_cast<DWORD>(damaged.size()),
                                            key, nullptr, 0),
                      NTE_BAD_SIGNATURE);
    CryptDestroyHash(again);
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
}

TEST_F(DefaultProvider, EncryptsForOpenSslToDecrypt) {
    const HCRYPTKEY key = importBlob(exportPublicKeyBlob(testKey(2048), CALG_RSA_KEYX));
    const auto plaintext = bytesOf("\xD6\xD0\xCE\xC4 text in the ANSI code page");
    DWORD length = static_cast<DWORD>(plaintext.size());
    ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, nullptr, &length, 0));
    ASSERT_EQ(length, 256u);

    Bytes buffer(length, 0);
    std::memcpy(buffer.data(), plaintext.data(), plaintext.size());
    DWORD dataLength = static_cast<DWORD>(plaintext.size());
    ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &dataLength, length))
        << std::hex << GetLastError();
    EXPECT_EQ(dataLength, 256u);
    EXPECT_EQ(opensslDecrypt(testKey(2048), reversed(buffer)), plaintext);

    // A plaintext the key cannot take.
    Bytes big(256, 0x31);
    dataLength = 246;
    EXPECT_FAILS_WITH(CryptEncrypt(key, 0, TRUE, 0, big.data(), &dataLength, 256), NTE_BAD_LEN);
    CryptDestroyKey(key);
}

TEST_F(DefaultProvider, DrawsRandomBytes) {
    Bytes first(32, 0), second(32, 0);
    ASSERT_TRUE(CryptGenRandom(prov, 32, first.data()));
    ASSERT_TRUE(CryptGenRandom(prov, 32, second.data()));
    EXPECT_NE(first, second);
    EXPECT_NE(first, Bytes(32, 0));
}

TEST_F(DefaultProvider, KeysAndHashesEndWithTheirContext) {
    const HCRYPTKEY key = importBlob(exportPublicKeyBlob(testKey(1024), CALG_RSA_SIGN));
    DWORD bits = 0;
    DWORD length = sizeof bits;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &length, 0));
    EXPECT_EQ(bits, 1024u);
    // A malformed blob is refused before any key exists.
    Bytes blob = exportPublicKeyBlob(testKey(1024), CALG_RSA_SIGN);
    blob.pop_back();
    HCRYPTKEY refused = 0;
    EXPECT_FAILS_WITH(CryptImportKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &refused),
                      NTE_BAD_DATA);
}

// The verification and encryption members hand the provider a certificate's subject public key
// through CryptImportPublicKeyInfo.
TEST_F(DefaultProvider, KeysFromPublicKeyInfoVerifyAndEncrypt) {
    unsigned char* der = nullptr;
    const int derLength = i2d_PublicKey(testKey(2048), &der);
    ASSERT_GT(derLength, 0);
    std::vector<unsigned char> rsaPublicKey(der, der + derLength);
    OPENSSL_free(der);

    char oid[] = szOID_RSA_RSA;
    BYTE null[] = {0x05, 0x00};
    CERT_PUBLIC_KEY_INFO info{};
    info.Algorithm.pszObjId = oid;
    info.Algorithm.Parameters = {sizeof null, null};
    info.PublicKey = {static_cast<DWORD>(rsaPublicKey.size()), rsaPublicKey.data(), 0};
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &info, &key))
        << std::hex << GetLastError();

    const auto text = bytesOf("123456");
    const auto signature = reversed(opensslSign(testKey(2048), EVP_md5(), text));
    const HCRYPTHASH hash = md5Of(text);
    EXPECT_TRUE(CryptVerifySignatureA(hash, signature.data(), static_cast<DWORD>(signature.size()),
                                      key, nullptr, 0))
        << std::hex << GetLastError();

    Bytes buffer(256, 0);
    std::memcpy(buffer.data(), text.data(), text.size());
    DWORD length = static_cast<DWORD>(text.size());
    ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &length, 256));
    EXPECT_EQ(opensslDecrypt(testKey(2048), reversed(buffer)), text);
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
}
