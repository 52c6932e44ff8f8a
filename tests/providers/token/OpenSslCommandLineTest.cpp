// A signature made through the Meridia provider, checked by the openssl program against the
// certificate the provider hands out.
#include "TokenProviderFixture.h"

#include "CertFixtures.h"

#include <sys/wait.h>

#include <cstdlib>

namespace token_provider_test {
namespace {

class MeridiaSignature : public TokenProviderTest {
protected:
    const ProviderUnderTest& provider() const override { return meridiaProvider(); }
};

TEST_F(MeridiaSignature, VerifiesWithTheOpensslCommandLine) {
    if (std::system("openssl version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "the openssl program is not installed";
    Context context = acquire(nullptr);
    ASSERT_EQ(pinStep(context.get()), 0u);
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGetUserKey(context.get(), AT_SIGNATURE, &key));
    DWORD length = 0;
    ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, nullptr, &length, 0));
    Bytes certificate(length);
    ASSERT_TRUE(CryptGetKeyParam(key, KP_CERTIFICATE, certificate.data(), &length, 0));
    CryptDestroyKey(key);

    const std::string data = "123456";
    const Bytes signature = sign(context.get(), CALG_MD5, data);
    ASSERT_EQ(signature.size(), 256u);
    const std::string dir = root();
    fixtures::writeFile(dir + "/cert.der", certificate);
    fixtures::writeFile(dir + "/data.txt", data);
    fixtures::writeFile(dir + "/signature.bin", reversed(signature)); // big-endian for openssl
    const std::string extract = "openssl x509 -inform DER -in " + dir + "/cert.der -pubkey -noout > " +
                                dir + "/public.pem";
    ASSERT_EQ(std::system(extract.c_str()), 0);
    const std::string verify = "openssl dgst -md5 -verify " + dir + "/public.pem -signature " + dir +
                               "/signature.bin " + dir + "/data.txt > /dev/null";
    EXPECT_EQ(std::system(verify.c_str()), 0);
    // A signature over other data must not verify: the check above can fail.
    fixtures::writeFile(dir + "/data.txt", std::string("654321"));
    EXPECT_NE(std::system((verify + " 2>&1").c_str()), 0);
}

} // namespace
} // namespace token_provider_test
