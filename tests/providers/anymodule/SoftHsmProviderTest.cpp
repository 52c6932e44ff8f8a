// The Meridia provider over SoftHSM2, as the administrator configured it in the registry.
#include "SoftHsmTokenStore.h"

#include <algorithm>
#include <sstream>

namespace softhsm_provider_test {
namespace {

Store& store() {
    static Store instance(SOFTHSM2_MODULE, true);
    return instance;
}

class SoftHsmProviderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store().ready); }

    static HCRYPTPROV acquire(const char* container, DWORD flags = 0) {
        HCRYPTPROV context = 0;
        EXPECT_TRUE(CryptAcquireContextA(&context, container, kProvider, PROV_RSA_FULL, flags))
            << std::hex << GetLastError();
        return context;
    }

    static std::vector<std::string> containers() {
        const HCRYPTPROV context = acquire(nullptr, CRYPT_VERIFYCONTEXT);
        std::vector<std::string> names;
        BYTE name[100];
        for (DWORD flags = CRYPT_FIRST, length = sizeof name;
             names.size() < 10 && CryptGetProvParam(context, PP_ENUMCONTAINERS, name, &length, flags);
             flags = 0, length = sizeof name)
            names.emplace_back(reinterpret_cast<char*>(name));
        CryptReleaseContext(context, 0);
        return names;
    }

    // The token's objects as pkcs11-tool lists them: one "<kind> <label>" a line.
    static std::vector<std::string> tokenObjects() {
        std::string listing;
        EXPECT_TRUE(pkcs11Tool({"--list-objects"}, &listing));
        std::vector<std::string> objects;
        std::istringstream lines(listing);
        for (std::string line; std::getline(lines, line);)
            if (line.find(" Object;") != std::string::npos)
                objects.push_back(line.substr(0, line.find(';')));
        std::sort(objects.begin(), objects.end());
        return objects;
    }
};

TEST_F(SoftHsmProviderTest, TheToolsIdentityIsAContainerNamedByItsIdAndSignsWithItsKey) {
    const std::string name = idContainerName();
    EXPECT_EQ(containers(), (std::vector<std::string>{name}));

    const std::string data = "signed over a foreign module";
    DWORD error = 0;
    const Bytes signature = signMd5(name.c_str(), data, error);
    ASSERT_FALSE(signature.empty()) << std::hex << error;
    EXPECT_TRUE(verifiesMd5(store().certificate, data, signature));
}

TEST_F(SoftHsmProviderTest, AGeneratedContainerCarriesItsNameAsIdAndItsDeletionLeavesTheRestAsItWas) {
    const std::vector<std::string> before = tokenObjects();
    ASSERT_EQ(before.size(), 3u);
    const char* generated = "C0000000-0000-0000-0000-00000000000C";
    HCRYPTPROV ignored = 0;
    EXPECT_FALSE(CryptAcquireContextA(&ignored, "not a GUID", kProvider, PROV_RSA_FULL,
                                      CRYPT_NEWKEYSET))
        << "only a GUID name reads back from CKA_ID as itself";

    // The module refuses attributes it does not know, so the key is made from standard ones.
    const HCRYPTPROV context = acquire(generated, CRYPT_NEWKEYSET);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(context, AT_SIGNATURE, 0, &key)) << std::hex << GetLastError();
    CryptDestroyKey(key);
    CryptReleaseContext(context, 0);
    EXPECT_EQ(containers(), (std::vector<std::string>{idContainerName(), generated}));
    EXPECT_EQ(tokenObjects().size(), 5u);

    HCRYPTPROV none = 1;
    ASSERT_TRUE(CryptAcquireContextA(&none, generated, kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET))
        << std::hex << GetLastError();
    EXPECT_EQ(containers(), (std::vector<std::string>{idContainerName()}));
    EXPECT_EQ(tokenObjects(), before);
}

} // namespace
} // namespace softhsm_provider_test
