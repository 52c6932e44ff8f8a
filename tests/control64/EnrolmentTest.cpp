// The QX_ family's enrolment sequence through IDispatch against the Skyra provider: generate,
// find, export, hash, sign, verify (also with OpenSSL from the exported blob) and delete.
#include "ControlFixture.h"

#include <openssl/core_names.h>
#include <openssl/param_build.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace control64_test {
namespace {

using control_host::fromHex;
using control_host::toHex;

// Collects what the control writes to standard output while it lives.
class StandardOutput {
public:
    StandardOutput() {
        fflush(stdout);
        path_ = TokenStore::instance().root() + "/stdout.txt";
        saved_ = dup(1);
        FILE* file = fopen(path_.c_str(), "w");
        dup2(fileno(file), 1);
        fclose(file);
    }
    ~StandardOutput() { restore(); }
    std::string text() {
        restore();
        std::ifstream in(path_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int saved_ = -1;
};

// An OpenSSL key from a PUBLICKEYBLOB: header (8), RSA1 header (12), modulus least significant
// byte first.
EVP_PKEY* keyFromBlob(const std::vector<unsigned char>& blob) {
    if (blob.size() < 20)
        return nullptr;
    const unsigned bits =
        blob[12] | blob[13] << 8 | blob[14] << 16 | static_cast<unsigned>(blob[15]) << 24;
    const unsigned exponent =
        blob[16] | blob[17] << 8 | blob[18] << 16 | static_cast<unsigned>(blob[19]) << 24;
    if (blob.size() != 20 + bits / 8)
        return nullptr;
    BIGNUM* n = BN_lebin2bn(blob.data() + 20, static_cast<int>(bits / 8), nullptr);
    BIGNUM* e = BN_new();
    BN_set_word(e, exponent);
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(context) != 1 ||
        EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    BN_free(n);
    BN_free(e);
    return key;
}

std::string md5Hex(const std::string& data) {
    std::vector<unsigned char> digest(16);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr);
    return toHex(digest);
}

using EnrolmentTest = ControlTest;

TEST_F(EnrolmentTest, GenerateFindExportSignVerifyAndDelete) {
    store().removeAllTokens();
    ASSERT_FALSE(store().freshToken(1).empty());
    Control control = create();

    EXPECT_EQ(control.call("QX_GetContainName").text(), "FALSE");
    EXPECT_EQ(control.call("QX_ExportPubKey").text(), "FALSE");
    EXPECT_EQ(control.call("QX_SignResult", {"x"}).status(), 4) << "no pending key";

    StandardOutput generated;
    const CallResult made = control.call("QX_GeneralRSAKey");
    const std::string generateLines = generated.text();
    ASSERT_EQ(made.status(), 0) << describe(made) << generateLines;
    EXPECT_EQ(generateLines,
              "A new key container has been created.\nThe signature key has been acquired. \n");

    const std::vector<std::string> containers = store().containerNames(1);
    ASSERT_EQ(containers.size(), 1u);
    const CallResult name = control.call("QX_GetContainName");
    EXPECT_EQ(name.hr, S_OK);
    EXPECT_EQ(name.text(), containers[0]);

    // The key waits for its certificate: no second container.
    EXPECT_EQ(control.call("QX_GeneralRSAKey").status(), 3);
    EXPECT_EQ(store().containerNames(1).size(), 1u);

    StandardOutput exported;
    const std::string blobText = control.call("QX_ExportPubKey").text();
    EXPECT_EQ(exported.text(), "The signature key has been acquired. \nThe keyinfo success ");
    const std::vector<unsigned char> blob = fromHex(blobText);
    // The provider's default key: 2048 bits, a 276-byte blob returned whole.
    ASSERT_EQ(blob.size(), 276u) << blobText;
    EXPECT_EQ(toHex({blob.begin(), blob.begin() + 16}), "06020000002400005253413100080000");
    EVP_PKEY* key = keyFromBlob(blob);
    ASSERT_NE(key, nullptr);

    // QX_HashResult leaves the terminating zero out; QX_SignResult and QX_VerifyResult take it in.
    EXPECT_EQ(control.call("QX_HashResult", {"enrol me"}).status(), 0);
    EXPECT_EQ(control.call("QX_GetHashResult").text(), md5Hex("enrol me"));
    // Texts are hashed in the thread's ANSI code page: 1252 under the tests' C locale, where
    // "é" is one byte and a character outside the page becomes "?".
    EXPECT_EQ(control.call("QX_HashResult", {"café 签"}).status(), 0);
    EXPECT_EQ(control.call("QX_GetHashResult").text(), md5Hex("caf\xE9 ?"));

    StandardOutput signing;
    ASSERT_EQ(control.call("QX_SignResult", {"enrol me"}).status(), 0);
    EXPECT_EQ(signing.text(), "Signature length 256 found.\nMemory allocated for the signature.\n");
    const std::string signatureText = control.call("QX_GetSignResult").text();
    std::vector<unsigned char> signature = fromHex(signatureText);
    ASSERT_EQ(signature.size(), 256u);
    std::reverse(signature.begin(), signature.end()); // kept least significant byte first
    EXPECT_TRUE(
        control_host::opensslVerifies(key, EVP_md5(), std::string("enrol me", 9), signature));
    EXPECT_FALSE(control_host::opensslVerifies(key, EVP_md5(), "enrol me", signature));
    EVP_PKEY_free(key);

    StandardOutput verifying;
    EXPECT_EQ(control.call("QX_VerifyResult", {blobText.c_str(), "enrol me", signatureText.c_str()})
                  .status(),
              0);
    EXPECT_EQ(verifying.text(),
              "The key has been imported.\nThe hash object has been recreated. \n"
              "The new hash has been created.\nThe signature has been verified.\n");
    const CallResult altered =
        control.call("QX_VerifyResult", {blobText.c_str(), "enrol you", signatureText.c_str()});
    EXPECT_EQ(altered.status(), 4);
    EXPECT_EQ(altered.hr, S_FALSE);
    EXPECT_EQ(
        control.call("QX_VerifyResult", {blobText.c_str(), Arg::nullText(), signatureText.c_str()})
            .status(),
        3);

    // QX_IsOnline starts the record again but keeps the container it finds.
    EXPECT_EQ(control.call("QX_IsOnline").status(), 0);
    EXPECT_EQ(control.call("QX_GetSignResult").text(), "");
    EXPECT_EQ(control.call("QX_GetHashResult").text(), "");

    EXPECT_EQ(control.call("QX_DeleteRSAKey", {containers[0].c_str()}).status(), 0);
    EXPECT_TRUE(store().containerNames(1).empty());
    const CallResult again = control.call("QX_DeleteRSAKey", {containers[0].c_str()});
    EXPECT_EQ(again.status(), 4) << "a container that does not exist";
    EXPECT_EQ(again.hr, S_FALSE);
    EXPECT_EQ(control.call("QX_DeleteRSAKey", {Arg::nullText()}).status(), 4);
    EXPECT_EQ(control.call("QX_IsOnline").status(), 4);
    EXPECT_EQ(control.call("QX_GetContainName").text(), "FALSE");
}

TEST_F(EnrolmentTest, AContainerWithACertificateIsNotPending) {
    tokenWithIdentities();
    Control control = create();
    const CallResult online = control.call("QX_IsOnline");
    EXPECT_EQ(online.status(), 4);
    EXPECT_EQ(online.hr, S_OK);
    EXPECT_EQ(control.call("QX_GetContainName").text(), "FALSE");
}

class EnrolmentWithoutProviderTest : public EnrolmentTest {
protected:
    void TearDown() override {
        control_host::registerModule(CONTROL_HOST_SKYRA_PROVIDER);
        EnrolmentTest::TearDown();
    }
};

TEST_F(EnrolmentWithoutProviderTest, EveryMemberFailsWithoutTheSkyraProvider) {
    store().removeAllTokens();
    ASSERT_FALSE(store().freshToken(1).empty());
    ASSERT_EQ(control_host::unregisterModule(CONTROL_HOST_SKYRA_PROVIDER), S_OK);
    Control control = create();
    EXPECT_EQ(control.call("QX_IsOnline").status(), 4);
    EXPECT_EQ(control.call("QX_GeneralRSAKey").status(), 3);
    EXPECT_EQ(control.call("QX_ExportPubKey").text(), "FALSE");
    EXPECT_EQ(control.call("QX_GetContainName").text(), "FALSE");
    EXPECT_EQ(control.call("QX_HashResult", {"x"}).status(), 3);
    EXPECT_EQ(control.call("QX_DeleteRSAKey", {"any"}).status(), 4);
    EXPECT_TRUE(store().containerNames(1).empty());
}

} // namespace
} // namespace control64_test
