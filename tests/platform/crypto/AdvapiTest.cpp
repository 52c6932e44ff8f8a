// The advapi32 layer over the test provider: how providers are found, what reaches them, the
// handles given to callers and the length-query forms.
#include "CryptoTestSupport.h"

#include <dlfcn.h>

#include <string>
#include <vector>

namespace {

DWORD acquireError(LPCSTR provider, DWORD type, LPCSTR container = nullptr, DWORD flags = 0) {
    HCRYPTPROV handle = 0x1234;
    SetLastError(ERROR_SUCCESS);
    if (CryptAcquireContextA(&handle, container, provider, type, flags)) {
        CryptReleaseContext(handle, 0);
        return ERROR_SUCCESS;
    }
    EXPECT_EQ(handle, 0u) << "a failed acquire hands out no handle";
    return GetLastError();
}

bool fakeProviderLoaded() {
    const std::string path = std::string(KORVAN_TEST_BIN_DIR) + "/libcryptofakeprovider.so";
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (module != nullptr)
        dlclose(module);
    return module != nullptr;
}

using AcquireTest = CryptoRegistryTest;

TEST_F(AcquireTest, ByNameAndAsTheDefaultOfItsType) {
    HCRYPTPROV named = acquire("box");
    ASSERT_NE(named, 0u);
    FakeProviderLog* log = providerLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->version, 3u);
    EXPECT_EQ(log->provType, PROV_RSA_FULL);
    EXPECT_STREQ(log->provName, kFakeProviderName);
    EXPECT_STREQ(log->container, "box");
    EXPECT_EQ(log->flags, 0u);

    // No name: "Provider Types\Type 001" names the default.
    registerDefault(PROV_RSA_FULL, kFakeProviderName);
    HCRYPTPROV byDefault = 0;
    ASSERT_TRUE(CryptAcquireContextA(&byDefault, nullptr, nullptr, PROV_RSA_FULL, CRYPT_SILENT));
    EXPECT_NE(byDefault, named);
    EXPECT_TRUE(log->containerNull);
    EXPECT_EQ(log->flags, CRYPT_SILENT);
    EXPECT_STREQ(log->provName, kFakeProviderName);
    EXPECT_EQ(log->acquires, 2);

    EXPECT_TRUE(CryptReleaseContext(named, 0));
    EXPECT_TRUE(CryptReleaseContext(byDefault, 0));
}

TEST_F(AcquireTest, RegistryFaultsGiveWindowsCodes) {
    EXPECT_EQ(acquireError("No Such Provider", PROV_RSA_FULL),
              static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    EXPECT_EQ(acquireError("..\\Provider Types", PROV_RSA_FULL),
              static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
    // No default named for the type, then a default that names nothing registered.
    EXPECT_EQ(acquireError(nullptr, PROV_RSA_FULL), static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
    registerDefault(PROV_RSA_FULL, "Gone Provider");
    EXPECT_EQ(acquireError(nullptr, PROV_RSA_FULL), static_cast<DWORD>(NTE_KEYSET_NOT_DEF));

    registerProvider("Missing Image", "nosuchcryptoprovider.dll", PROV_RSA_FULL);
    EXPECT_EQ(acquireError("Missing Image", PROV_RSA_FULL),
              static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND));
    registerProvider("Empty Image", "", PROV_RSA_FULL);
    EXPECT_EQ(acquireError("Empty Image", PROV_RSA_FULL),
              static_cast<DWORD>(NTE_PROV_DLL_NOT_FOUND));
    registerProvider("No Entry Points", "cryptonotprovider.dll", PROV_RSA_FULL);
    EXPECT_EQ(acquireError("No Entry Points", PROV_RSA_FULL),
              static_cast<DWORD>(NTE_PROVIDER_DLL_FAIL));

    // The registered type must be the one asked for.
    registerProvider("Type Two", kFakeProviderImage, 2);
    EXPECT_EQ(acquireError("Type Two", PROV_RSA_FULL), static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH));
    EXPECT_EQ(acquireError(kFakeProviderName, 2), static_cast<DWORD>(NTE_PROV_TYPE_NO_MATCH));
    EXPECT_EQ(acquireError(kFakeProviderName, 0), static_cast<DWORD>(NTE_BAD_PROV_TYPE));
    EXPECT_EQ(acquireError(kFakeProviderName, 1000), static_cast<DWORD>(NTE_BAD_PROV_TYPE));

    EXPECT_FALSE(CryptAcquireContextA(nullptr, nullptr, kFakeProviderName, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(AcquireTest, ProviderFailureKeepsItsErrorAndDeleteGivesNoHandle) {
    EXPECT_EQ(acquireError(kFakeProviderName, PROV_RSA_FULL, kRefusedContainer),
              static_cast<DWORD>(NTE_BAD_KEYSET));
    // A provider that failed without saying why still leaves an error.
    EXPECT_EQ(acquireError(kFakeProviderName, PROV_RSA_FULL, kSilentFailContainer),
              static_cast<DWORD>(NTE_FAIL));

    HCRYPTPROV deleted = 0x77;
    ASSERT_TRUE(CryptAcquireContextA(&deleted, "box", kFakeProviderName, PROV_RSA_FULL,
                                     CRYPT_DELETEKEYSET));
    EXPECT_EQ(deleted, 0u);
    EXPECT_FALSE(fakeProviderLoaded()) << "nothing holds the module after a deleted key set";
}

TEST_F(AcquireTest, OneModulePerProviderKeptWhileItsObjectsLive) {
    HCRYPTPROV first = acquire();
    HCRYPTPROV second = acquire();
    FakeProviderLog* log = providerLog();
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(log->acquires, 2) << "both contexts reached the same loaded module";

    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptGetUserKey(first, AT_SIGNATURE, &key));
    ASSERT_TRUE(CryptCreateHash(first, CALG_MD5, 0, 0, &hash));
    EXPECT_TRUE(CryptReleaseContext(first, 0));
    EXPECT_TRUE(CryptReleaseContext(second, 0));
    // The released context's key and hash still work, and keep the provider's context.
    EXPECT_EQ(log->releases, 1);
    EXPECT_TRUE(fakeProviderLoaded());
    BYTE value[kFakeHashLength];
    DWORD length = sizeof value;
    EXPECT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0));
    BYTE signature[kFakeSignatureLength];
    length = sizeof signature;
    EXPECT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature, &length));
    // But the context handle itself is gone.
    EXPECT_FALSE(CryptGenRandom(first, 4, value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));

    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_EQ(log->releases, 1);
    EXPECT_TRUE(CryptDestroyKey(key));
    EXPECT_FALSE(fakeProviderLoaded()) << "the last object let go of the provider and its module";
}

using HandleTest = CryptoRegistryTest;

TEST_F(HandleTest, StaleForeignAndMadeUpHandlesAreRefused) {
    HCRYPTPROV provider = acquire();
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptGetUserKey(provider, AT_SIGNATURE, &key));
    ASSERT_TRUE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    FakeProviderLog* log = providerLog();
    ASSERT_NE(log, nullptr);

    BYTE data[16] = {};
    DWORD length = sizeof data;
    // A key where a context belongs, a hash where a key belongs, and values never handed out.
    EXPECT_FALSE(CryptGenRandom(key, 4, data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_FALSE(CryptGetKeyParam(hash, KP_CERTIFICATE, nullptr, &length, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_FALSE(CryptHashData(key, data, 4, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH));
    EXPECT_FALSE(CryptGetProvParam(reinterpret_cast<HCRYPTPROV>(&data), PP_NAME, nullptr, &length, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
    EXPECT_FALSE(CryptDestroyKey(0xDEADBEEF));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CryptDestroyHash(key));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // Destroyed and released handles are stale at once.
    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_FALSE(CryptDestroyHash(hash));
    EXPECT_FALSE(CryptHashData(hash, data, 4, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_HASH));
    EXPECT_TRUE(CryptDestroyKey(key));
    EXPECT_FALSE(CryptEncrypt(key, 0, TRUE, 0, nullptr, &length, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_TRUE(CryptReleaseContext(provider, 0));
    EXPECT_FALSE(CryptReleaseContext(provider, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_UID));
}

TEST_F(HandleTest, KeyAndHashMustComeFromTheSameContext) {
    HCRYPTPROV a = acquire();
    HCRYPTPROV b = acquire();
    HCRYPTKEY keyA = 0;
    HCRYPTKEY keyB = 0;
    HCRYPTHASH hashB = 0;
    ASSERT_TRUE(CryptGetUserKey(a, AT_SIGNATURE, &keyA));
    ASSERT_TRUE(CryptGetUserKey(b, AT_SIGNATURE, &keyB));
    ASSERT_TRUE(CryptCreateHash(b, CALG_MD5, 0, 0, &hashB));
    FakeProviderLog* log = providerLog();
    ASSERT_NE(log, nullptr);

    BYTE signature[kFakeSignatureLength] = {};
    HCRYPTHASH hash = 0;
    HCRYPTKEY imported = 0;
    DWORD length = 0;
    const BYTE blob[8] = {PUBLICKEYBLOB, CUR_BLOB_VERSION};
    EXPECT_FALSE(CryptVerifySignatureA(hashB, signature, sizeof signature, keyA, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_FALSE(CryptCreateHash(b, CALG_MD5, keyA, 0, &hash));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_FALSE(CryptEncrypt(keyA, hashB, TRUE, 0, nullptr, &length, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_FALSE(CryptDecrypt(keyA, hashB, TRUE, 0, signature, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_FALSE(CryptExportKey(keyA, keyB, PUBLICKEYBLOB, 0, nullptr, &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    EXPECT_FALSE(CryptImportKey(a, blob, sizeof blob, keyB, 0, &imported));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_KEY));
    // Matched, the same calls reach the provider.
    EXPECT_TRUE(CryptVerifySignatureA(hashB, signature, sizeof signature, keyB, nullptr, 0));
    EXPECT_EQ(log->foreignHandles, 0) << "the provider never saw a handle it did not give out";

    CryptDestroyHash(hashB);
    CryptDestroyKey(keyA);
    CryptDestroyKey(keyB);
    CryptReleaseContext(a, 0);
    CryptReleaseContext(b, 0);
}

using PassThroughTest = CryptoRegistryTest;

TEST_F(PassThroughTest, LengthQueriesAndShortBuffers) {
    HCRYPTPROV provider = acquire();
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptGetUserKey(provider, AT_SIGNATURE, &key));
    ASSERT_TRUE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    std::vector<BYTE> buffer(512, 0);

    // Provider name: null buffer gives the length, a short one ERROR_MORE_DATA and the length.
    DWORD length = 0;
    ASSERT_TRUE(CryptGetProvParam(provider, PP_NAME, nullptr, &length, 0));
    EXPECT_EQ(length, std::string(kFakeProviderName).size() + 1);
    DWORD shortLength = 4;
    EXPECT_FALSE(CryptGetProvParam(provider, PP_NAME, buffer.data(), &shortLength, 0));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(shortLength, length);
    ASSERT_TRUE(CryptGetProvParam(provider, PP_NAME, buffer.data(), &length, 0));
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), kFakeProviderName);

    length = 0;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &length, 0));
    EXPECT_EQ(length, kFakeCertificateLength);
    length = 0;
    ASSERT_TRUE(CryptGetHashParam(hash, HP_HASHVAL, nullptr, &length, 0));
    EXPECT_EQ(length, kFakeHashLength);
    length = 2;
    EXPECT_FALSE(CryptExportKey(key, 0, PUBLICKEYBLOB, 0, buffer.data(), &length));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(length, 20u);

    length = 0;
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &length));
    EXPECT_EQ(length, kFakeSignatureLength);
    length = 10;
    EXPECT_FALSE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, buffer.data(), &length));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(length, kFakeSignatureLength);

    // Encrypt: the data length in, the ciphertext length out; a short buffer is refused.
    length = 6;
    ASSERT_TRUE(CryptEncrypt(key, 0, TRUE, 0, nullptr, &length, 0));
    EXPECT_EQ(length, kFakeSignatureLength);
    length = 6;
    EXPECT_FALSE(CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &length, 64));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(length, kFakeSignatureLength);

    EXPECT_FALSE(CryptGetProvParam(provider, PP_NAME, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    CryptDestroyHash(hash);
    CryptDestroyKey(key);
    CryptReleaseContext(provider, 0);
}

TEST_F(PassThroughTest, DescriptionReachesTheProviderWide) {
    HCRYPTPROV provider = acquire();
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    ASSERT_TRUE(CryptGetUserKey(provider, AT_SIGNATURE, &key));
    ASSERT_TRUE(CryptCreateHash(provider, CALG_MD5, 0, 0, &hash));
    FakeProviderLog* log = providerLog();
    ASSERT_NE(log, nullptr);
    DWORD length = 0;
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &length));
    EXPECT_TRUE(log->descriptionNull);
    ASSERT_TRUE(CryptSignHashA(hash, AT_SIGNATURE, "order 42", 0, nullptr, &length));
    EXPECT_FALSE(log->descriptionNull);
    EXPECT_EQ(std::u16string(log->description), u"order 42");
    BYTE signature[kFakeSignatureLength] = {};
    ASSERT_TRUE(CryptVerifySignatureA(hash, signature, sizeof signature, key, "check", 0));
    EXPECT_EQ(std::u16string(log->description), u"check");
    CryptDestroyHash(hash);
    CryptDestroyKey(key);
    CryptReleaseContext(provider, 0);
}

TEST_F(PassThroughTest, FailedDecryptLeavesBufferAndLength) {
    HCRYPTPROV provider = acquire();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(provider, AT_SIGNATURE, &key));

    // The provider scribbles over its buffer and shortens the length before failing.
    std::vector<BYTE> data = {kDecryptScribble, 1, 2, 3, 4, 5};
    const std::vector<BYTE> original = data;
    DWORD length = static_cast<DWORD>(data.size());
    EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_DATA));
    EXPECT_EQ(data, original);
    EXPECT_EQ(length, original.size());

    // A provider claiming more output than input is refused the same way.
    data[0] = kDecryptGrow;
    const std::vector<BYTE> grown = data;
    EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &length));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_LEN));
    EXPECT_EQ(data, grown);
    EXPECT_EQ(length, grown.size());

    // Success writes the result in place.
    data = {1, 2, 3, 4};
    length = 4;
    ASSERT_TRUE(CryptDecrypt(key, 0, TRUE, 0, data.data(), &length));
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::vector<BYTE>(data.begin(), data.begin() + 3), (std::vector<BYTE>{4, 3, 2}));

    EXPECT_FALSE(CryptDecrypt(key, 0, TRUE, 0, nullptr, &length));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CryptDestroyKey(key);
    CryptReleaseContext(provider, 0);
}

} // namespace
