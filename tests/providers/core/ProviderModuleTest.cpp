// The CP* glue and the context defaults, called the way the CryptoAPI layer calls a module.
#include "ErrorOf.h"
#include "TestKeys.h"

#include "providers/core/ProviderModule.h"
#include "providers/core/RsaKey.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

using namespace providers;
using namespace providers::testing;

namespace {

int liveKeys = 0;

class CountingKey : public Key {
public:
    CountingKey() : Key(CALG_RSA_SIGN, publicHalf(testKey(1024))) { ++liveKeys; }
    ~CountingKey() override { --liveKeys; }
};

// Signs like a token: PKCS#1 over the DigestInfo with a key the module holds.
class TestContext : public Context {
public:
    using Context::Context;
    std::unique_ptr<Key> userKey(DWORD keyKind) override {
        if (keyKind != AT_SIGNATURE)
            fail(NTE_NO_KEY);
        return std::make_unique<CountingKey>();
    }
    Bytes signHash(HashObject& hash, DWORD, DWORD) override {
        const Bytes info = hash.digestInfo();
        EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, testKey(1024), nullptr));
        EVP_PKEY_sign_init(context.get());
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING);
        size_t length = 128;
        Bytes signature(length);
        EVP_PKEY_sign(context.get(), signature.data(), &length, info.data(), info.size());
        return reversedBytes(signature);
    }
};

class TestProvider : public Provider {
public:
    TestProvider() : Provider("Test Provider", PROV_RSA_FULL) {}
    std::unique_ptr<Context> acquireContext(LPCSTR container, DWORD flags,
                                            const VTableProvStruc*) override {
        const std::string name = container != nullptr ? container : "";
        if (name == "throws")
            throw std::runtime_error("not a provider error");
        if (name == "no memory")
            throw std::bad_alloc();
        if (flags & CRYPT_DELETEKEYSET)
            return nullptr;
        return std::make_unique<TestContext>(*this);
    }
};

class ProviderModuleTest : public ::testing::Test {
protected:
    ProviderModule module{[] { return std::make_unique<TestProvider>(); }};
    HCRYPTPROV prov = 0;

    void SetUp() override { ASSERT_TRUE(module.acquireContext(&prov, nullptr, 0, nullptr)); }

    HCRYPTKEY importedKey(EVP_PKEY* key, ALG_ID algid = CALG_RSA_KEYX) {
        const Bytes blob = exportPublicKeyBlob(key, algid);
        HCRYPTKEY handle = 0;
        EXPECT_TRUE(module.importKey(prov, blob.data(), static_cast<DWORD>(blob.size()), 0, 0, &handle));
        return handle;
    }
    HCRYPTHASH hashOf(ALG_ID algid, const std::vector<unsigned char>& data) {
        HCRYPTHASH hash = 0;
        EXPECT_TRUE(module.createHash(prov, algid, 0, 0, &hash));
        EXPECT_TRUE(module.hashData(prov, hash, data.data(), static_cast<DWORD>(data.size()), 0));
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

TEST_F(ProviderModuleTest, ForeignHandlesAreRefusedWithoutBeingUsed) {
    HCRYPTPROV other = 0;
    ASSERT_TRUE(module.acquireContext(&other, nullptr, 0, nullptr));
    HCRYPTKEY key = 0;
    ASSERT_TRUE(module.getUserKey(prov, AT_SIGNATURE, &key));
    const HCRYPTHASH hash = hashOf(CALG_MD5, bytesOf("x"));
    DWORD length = 0;

    EXPECT_FAILS_WITH(module.getProvParam(0, PP_NAME, nullptr, &length, 0), NTE_BAD_UID);
    EXPECT_FAILS_WITH(module.getProvParam(0xDEADBEEF, PP_NAME, nullptr, &length, 0), NTE_BAD_UID);
    EXPECT_FAILS_WITH(module.getProvParam(key, PP_NAME, nullptr, &length, 0), NTE_BAD_UID);
    // A key or hash of one context is unknown to another.
    EXPECT_FAILS_WITH(module.getKeyParam(other, key, KP_ALGID, nullptr, &length, 0), NTE_BAD_KEY);
    EXPECT_FAILS_WITH(module.destroyHash(other, hash), NTE_BAD_HASH);
    // Handles of one kind never pass for another.
    EXPECT_FAILS_WITH(module.getKeyParam(prov, hash, KP_ALGID, nullptr, &length, 0), NTE_BAD_KEY);
    EXPECT_FAILS_WITH(module.hashData(prov, key, nullptr, 0, 0), NTE_BAD_HASH);
    EXPECT_FAILS_WITH(module.verifySignature(prov, hash, nullptr, 0, 0, nullptr, 0), NTE_BAD_KEY);
    // Destroyed handles are gone for good.
    EXPECT_TRUE(module.destroyKey(prov, key));
    EXPECT_FAILS_WITH(module.destroyKey(prov, key), NTE_BAD_KEY);
    EXPECT_TRUE(module.releaseContext(other, 0));
    EXPECT_FAILS_WITH(module.releaseContext(other, 0), NTE_BAD_UID);
}

TEST_F(ProviderModuleTest, ReleasingAContextDestroysItsKeysAndHashes) {
    HCRYPTKEY first = 0, second = 0;
    ASSERT_TRUE(module.getUserKey(prov, AT_SIGNATURE, &first));
    ASSERT_TRUE(module.getUserKey(prov, AT_SIGNATURE, &second));
    const HCRYPTHASH hash = hashOf(CALG_SHA1, bytesOf("abc"));
    EXPECT_NE(first, second);
    EXPECT_EQ(liveKeys, 2);

    // Non-zero flags are reported, but the context is released all the same.
    EXPECT_FAILS_WITH(module.releaseContext(prov, 1), NTE_BAD_FLAGS);
    EXPECT_EQ(liveKeys, 0);
    EXPECT_EQ(module.contextCount(), 0u);

    HCRYPTPROV next = 0;
    ASSERT_TRUE(module.acquireContext(&next, nullptr, 0, nullptr));
    EXPECT_NE(next, prov);
    EXPECT_FAILS_WITH(module.destroyHash(next, hash), NTE_BAD_HASH);
    module.releaseContext(next, 0);
}

TEST(ProviderModule, NoExceptionLeavesTheModule) {
    ProviderModule module([] { return std::make_unique<TestProvider>(); });
    HCRYPTPROV prov = 7;
    EXPECT_FAILS_WITH(module.acquireContext(&prov, "throws", 0, nullptr), NTE_FAIL);
    EXPECT_FAILS_WITH(module.acquireContext(&prov, "no memory", 0, nullptr), NTE_NO_MEMORY);
    EXPECT_FAILS_WITH(module.acquireContext(nullptr, nullptr, 0, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(prov, 7u);
    EXPECT_EQ(module.contextCount(), 0u);

    // Deleting a key set succeeds and leaves no context.
    EXPECT_TRUE(module.acquireContext(&prov, "old", CRYPT_DELETEKEYSET, nullptr));
    EXPECT_EQ(prov, 0u);
    EXPECT_EQ(module.contextCount(), 0u);

    ProviderModule broken([]() -> std::unique_ptr<Provider> { throw std::runtime_error("broken"); });
    EXPECT_FAILS_WITH(broken.acquireContext(&prov, nullptr, 0, nullptr), NTE_FAIL);
    ProviderModule empty([]() -> std::unique_ptr<Provider> { return nullptr; });
    EXPECT_FAILS_WITH(empty.acquireContext(&prov, nullptr, 0, nullptr), NTE_PROVIDER_DLL_FAIL);
}

TEST_F(ProviderModuleTest, ProviderParameters) {
    char name[64];
    DWORD length = 0;
    ASSERT_TRUE(module.getProvParam(prov, PP_NAME, nullptr, &length, 0));
    EXPECT_EQ(length, sizeof "Test Provider");
    length = 5;
    EXPECT_FAILS_WITH(module.getProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0),
                      ERROR_MORE_DATA);
    EXPECT_EQ(length, sizeof "Test Provider");
    length = sizeof name;
    ASSERT_TRUE(module.getProvParam(prov, PP_NAME, reinterpret_cast<BYTE*>(name), &length, 0));
    EXPECT_STREQ(name, "Test Provider");

    DWORD type = 0;
    length = sizeof type;
    ASSERT_TRUE(module.getProvParam(prov, PP_PROVTYPE, reinterpret_cast<BYTE*>(&type), &length, 0));
    EXPECT_EQ(type, PROV_RSA_FULL);
    EXPECT_FAILS_WITH(module.getProvParam(prov, PP_ENUMALGS, nullptr, &length, 0), NTE_BAD_TYPE);
    EXPECT_FAILS_WITH(module.setProvParam(prov, PP_SIGNATURE_PIN, nullptr, 0), NTE_BAD_TYPE);
}

TEST_F(ProviderModuleTest, SignHashLengthQueryDoesNoSigningWork) {
    const HCRYPTHASH hash = hashOf(CALG_MD5, bytesOf("123456"));
    DWORD length = 0;
    ASSERT_TRUE(module.signHash(prov, hash, AT_SIGNATURE, nullptr, 0, nullptr, &length));
    EXPECT_EQ(length, 128u);
    // The query left the hash open.
    EXPECT_TRUE(module.hashData(prov, hash, nullptr, 0, 0));

    Bytes signature(200, 0xEE);
    length = 127;
    EXPECT_FAILS_WITH(module.signHash(prov, hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length),
                      ERROR_MORE_DATA);
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(signature[0], 0xEE);

    length = static_cast<DWORD>(signature.size());
    ASSERT_TRUE(module.signHash(prov, hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length));
    ASSERT_EQ(length, 128u);
    signature.resize(length);
    EXPECT_EQ(reversed(signature), opensslSign(testKey(1024), EVP_md5(), bytesOf("123456")));
    EXPECT_FAILS_WITH(module.signHash(prov, hash, AT_KEYEXCHANGE, nullptr, 0, nullptr, &length),
                      NTE_NO_KEY);
}

TEST_F(ProviderModuleTest, VerifySignatureTakesTheSignatureLeastSignificantByteFirst) {
    const auto data = bytesOf("Signed text");
    const HCRYPTKEY key = importedKey(testKey(2048), CALG_RSA_SIGN);
    struct Algorithm {
        ALG_ID algid;
        const EVP_MD* md;
    };
    for (const Algorithm a : {Algorithm{CALG_MD5, EVP_md5()}, Algorithm{CALG_SHA1, EVP_sha1()},
                              Algorithm{CALG_SHA_256, EVP_sha256()}}) {
        SCOPED_TRACE(a.algid);
        const auto signature = reversed(opensslSign(testKey(2048), a.md, data));
        EXPECT_TRUE(module.verifySignature(prov, hashOf(a.algid, data), signature.data(),
                                           static_cast<DWORD>(signature.size()), key, nullptr, 0));
        // The most significant first order is the wrong one here.
        const auto unreversed = reversed(signature);
        EXPECT_FAILS_WITH(module.verifySignature(prov, hashOf(a.algid, data), unreversed.data(),
                                                 static_cast<DWORD>(unreversed.size()), key, nullptr, 0),
                          NTE_BAD_SIGNATURE);
    }
    auto damaged = reversed(opensslSign(testKey(2048), EVP_md5(), data));
    damaged[17] ^= 0x01;
    EXPECT_FAILS_WITH(module.verifySignature(prov, hashOf(CALG_MD5, data), damaged.data(),
                                             static_cast<DWORD>(damaged.size()), key, nullptr, 0),
                      NTE_BAD_SIGNATURE);
    // Another message, a short signature, or another algorithm's signature.
    const auto good = reversed(opensslSign(testKey(2048), EVP_md5(), data));
    EXPECT_FAILS_WITH(module.verifySignature(prov, hashOf(CALG_MD5, bytesOf("Signed text!")),
                                             good.data(), 256, key, nullptr, 0),
                      NTE_BAD_SIGNATURE);
    EXPECT_FAILS_WITH(module.verifySignature(prov, hashOf(CALG_MD5, data), good.data(), 255, key,
                                             nullptr, 0),
                      NTE_BAD_SIGNATURE);
    EXPECT_FAILS_WITH(module.verifySignature(prov, hashOf(CALG_SHA1, data), good.data(), 256, key,
                                             nullptr, 0),
                      NTE_BAD_SIGNATURE);
}

TEST_F(ProviderModuleTest, EncryptQueriesThenEncryptsLeastSignificantByteFirst) {
    const HCRYPTKEY key = importedKey(testKey(2048));
    const auto plaintext = bytesOf("secret message");
    DWORD length = static_cast<DWORD>(plaintext.size());
    ASSERT_TRUE(module.encrypt(prov, key, 0, TRUE, 0, nullptr, &length, 0));
    EXPECT_EQ(length, 256u);

    Bytes buffer(length, 0);
    std::memcpy(buffer.data(), plaintext.data(), plaintext.size());
    DWORD dataLength = static_cast<DWORD>(plaintext.size());
    ASSERT_TRUE(module.encrypt(prov, key, 0, TRUE, 0, buffer.data(), &dataLength,
                               static_cast<DWORD>(buffer.size())));
    EXPECT_EQ(dataLength, 256u);
    EXPECT_EQ(opensslDecrypt(testKey(2048), reversed(buffer)), plaintext);
}

TEST_F(ProviderModuleTest, EncryptRefusesWhatDoesNotFitAndChangesNothing) {
    const HCRYPTKEY key = importedKey(testKey(1024));
    Bytes buffer(128, 0x41);
    const Bytes before = buffer;

    DWORD length = 10;
    EXPECT_FAILS_WITH(module.encrypt(prov, key, 0, TRUE, 0, buffer.data(), &length, 127),
                      ERROR_MORE_DATA);
    EXPECT_EQ(length, 128u);
    length = 128 - 10; // one byte over k - 11
    EXPECT_FAILS_WITH(module.encrypt(prov, key, 0, TRUE, 0, buffer.data(), &length, 128), NTE_BAD_LEN);
    EXPECT_EQ(length, 118u);
    length = 10;
    EXPECT_FAILS_WITH(module.encrypt(prov, key, 0, FALSE, 0, buffer.data(), &length, 128), NTE_BAD_DATA);
    EXPECT_FAILS_WITH(module.encrypt(prov, key, 0, TRUE, 0x40 /* OAEP */, buffer.data(), &length, 128),
                      NTE_BAD_FLAGS);
    EXPECT_EQ(buffer, before);

    // The longest plaintext that fits, k - 11 bytes, goes through.
    length = 117;
    ASSERT_TRUE(module.encrypt(prov, key, 0, TRUE, 0, buffer.data(), &length, 128));
    EXPECT_EQ(opensslDecrypt(testKey(1024), reversed(buffer)), Bytes(117, 0x41));
}

TEST_F(ProviderModuleTest, KeyParametersAndExport) {
    const HCRYPTKEY key = importedKey(testKey(2048), CALG_RSA_KEYX);
    DWORD value = 0;
    DWORD length = 0;
    ASSERT_TRUE(module.getKeyParam(prov, key, KP_KEYLEN, nullptr, &length, 0));
    EXPECT_EQ(length, 4u);
    for (const auto& [param, expected] : {std::pair{KP_ALGID, CALG_RSA_KEYX}, std::pair{KP_KEYLEN, 2048u},
                                          std::pair{KP_BLOCKLEN, 2048u}}) {
        length = sizeof value;
        ASSERT_TRUE(module.getKeyParam(prov, key, param, reinterpret_cast<BYTE*>(&value), &length, 0));
        EXPECT_EQ(value, expected) << param;
    }
    length = 3;
    EXPECT_FAILS_WITH(module.getKeyParam(prov, key, KP_ALGID, reinterpret_cast<BYTE*>(&value), &length, 0),
                      ERROR_MORE_DATA);
    EXPECT_FAILS_WITH(module.getKeyParam(prov, key, KP_CERTIFICATE, nullptr, &length, 0), NTE_BAD_TYPE);

    // An imported key exports as the same blob; there is no private blob to give.
    const Bytes blob = exportPublicKeyBlob(testKey(2048), CALG_RSA_KEYX);
    ASSERT_TRUE(module.exportKey(prov, key, 0, PUBLICKEYBLOB, 0, nullptr, &length));
    EXPECT_EQ(length, blob.size());
    Bytes exported(length);
    length = 100;
    EXPECT_FAILS_WITH(module.exportKey(prov, key, 0, PUBLICKEYBLOB, 0, exported.data(), &length),
                      ERROR_MORE_DATA);
    EXPECT_EQ(length, blob.size());
    ASSERT_TRUE(module.exportKey(prov, key, 0, PUBLICKEYBLOB, 0, exported.data(), &length));
    EXPECT_EQ(exported, blob);
    EXPECT_FAILS_WITH(module.exportKey(prov, key, 0, PRIVATEKEYBLOB, 0, nullptr, &length),
                      NTE_BAD_KEY_STATE);
    EXPECT_FAILS_WITH(module.exportKey(prov, key, 0, SIMPLEBLOB, 0, nullptr, &length), NTE_BAD_TYPE);
}

TEST_F(ProviderModuleTest, DefaultsWithoutPrivateKeys) {
    const HCRYPTKEY key = importedKey(testKey(1024));
    Bytes buffer(128, 0);
    DWORD length = 128;
    EXPECT_FAILS_WITH(module.decrypt(prov, key, 0, TRUE, 0, buffer.data(), &length), NTE_NO_KEY);
    EXPECT_EQ(length, 128u);
    HCRYPTKEY generated = 0;
    EXPECT_FAILS_WITH(module.genKey(prov, AT_SIGNATURE, 0, &generated), NTE_NOT_SUPPORTED);
    HCRYPTHASH hash = 0;
    EXPECT_FAILS_WITH(module.createHash(prov, CALG_MD5, key, 0, &hash), NTE_BAD_KEY);
    EXPECT_FAILS_WITH(module.createHash(prov, CALG_RSA_SIGN, 0, 0, &hash), NTE_BAD_ALGID);
}

TEST_F(ProviderModuleTest, RandomBytesFillTheBuffer) {
    Bytes first(64, 0), second(64, 0);
    ASSERT_TRUE(module.genRandom(prov, 64, first.data()));
    ASSERT_TRUE(module.genRandom(prov, 64, second.data()));
    EXPECT_NE(first, Bytes(64, 0));
    EXPECT_NE(first, second);
    EXPECT_TRUE(module.genRandom(prov, 0, nullptr));
    EXPECT_FAILS_WITH(module.genRandom(prov, 8, nullptr), ERROR_INVALID_PARAMETER);
}
