// Scripts of the base, _Ex and md_ families as a page runs them, against the real token providers
// over the software token. Each test is its own process, so the module-wide state starts fresh.
#include "ControlFixture.h"

#include <openssl/md5.h>
#include <openssl/pem.h>

#include <fstream>

namespace control64_test {
namespace {

using control_host::fromHex;
using control_host::toHex;

std::string md5Hex(const std::string& data) {
    std::vector<unsigned char> digest(16);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr);
    return toHex(digest);
}

std::string serialHex(X509* certificate) {
    BIGNUM* value = ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr);
    char* text = BN_bn2hex(value);
    std::string hex = text;
    OPENSSL_free(text);
    BN_free(value);
    if (hex.size() % 2 != 0)
        hex = "0" + hex;
    return hex;
}

std::string publicKeyHex(X509* certificate) {
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(certificate);
    return toHex(std::vector<unsigned char>(bits->data, bits->data + bits->length));
}

class FamilyScriptTest : public ControlTest {
protected:
    // The family's typical script up to a signature of `text`; returns the signature text.
    std::string signScript(const Control& control, const std::string& prefix,
                           const std::string& suffix, X509* expected, const std::string& text) {
        auto member = [&](const char* name) { return prefix + name + suffix; };
        EXPECT_EQ(control.call(member("IsOnline").c_str()).status(), 0);
        const CallResult chosen = control.call(member("SetCertResult").c_str());
        EXPECT_EQ(chosen.status(), 0) << describe(chosen);
        EXPECT_EQ(chosen.hr, S_OK);
        X509_NAME* subject = X509_get_subject_name(expected);
        char commonName[64] = {};
        X509_NAME_get_text_by_NID(subject, NID_commonName, commonName, sizeof commonName);
        EXPECT_EQ(control.call(member("GetCertName").c_str()).text(), commonName);
        EXPECT_EQ(control.call(member("GetCertSerial").c_str()).text(), serialHex(expected));
        EXPECT_EQ(control.call(member("GetKeyModule").c_str()).text(), publicKeyHex(expected));

        EXPECT_EQ(control.call(member("HashResult").c_str(), {"abc"}).status(), 0);
        EXPECT_EQ(control.call(member("GetHash").c_str()).text(), md5Hex("abc"));

        const CallResult signedText = control.call(member("SignResult").c_str(), {text.c_str()});
        EXPECT_EQ(signedText.status(), 0) << describe(signedText);
        const CallResult signature = control.call(member("GetSignature").c_str());
        EXPECT_EQ(signature.hr, S_OK);
        return signature.text();
    }
};

TEST_F(FamilyScriptTest, AFreshModuleHasNoHashInAnyFamily) {
    Control control = create();
    for (const char* member :
         {"GetHash", "GetHash_Ex", "md_GetHash", "GetSignature", "GetCertName"}) {
        const CallResult hash = control.call(member);
        EXPECT_EQ(hash.hr, S_FALSE) << member;
        EXPECT_FALSE(hash.hasValue()) << member;
    }
    EXPECT_EQ(control.call("SignResult", {"x"}).hr, S_FALSE);
    EXPECT_FALSE(control.call("SignResult", {"x"}).hasValue()) << "BaseMode None writes nothing";
    EXPECT_EQ(control.call("md_SignResult", {"x"}).status(), 3);
}

TEST_F(FamilyScriptTest, BaseFamilySignsWithTheUnmarkedCertificateAndOpensslVerifiesIt) {
    tokenWithIdentities();
    Control control = create();
    const std::string text = "pay 100 to Bob";
    const std::string signature = signScript(control, "", "", baseCertificate_, text);
    ASSERT_EQ(signature.size(), 512u);

    // The openssl command line against the chosen certificate: MD5 with RSA PKCS#1, most
    // significant byte first.
    const std::string dir = store().root();
    {
        std::ofstream(dir + "/data.txt", std::ios::binary) << text;
        const auto bytes = fromHex(signature);
        std::ofstream(dir + "/signature.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        FILE* pem = fopen((dir + "/chosen.pem").c_str(), "w");
        ASSERT_NE(pem, nullptr);
        PEM_write_X509(pem, baseCertificate_);
        fclose(pem);
    }
    const auto run = control_host::runCommand(
        "openssl x509 -in " + dir + "/chosen.pem -pubkey -noout > " + dir +
        "/chosen.pub && openssl dgst -md5 -verify " + dir + "/chosen.pub -signature " + dir +
        "/signature.bin " + dir + "/data.txt");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output, "Verified OK\n");

    const std::string keyModule = control.call("GetKeyModule").text();
    EXPECT_EQ(
        control.call("VerifyResult", {keyModule.c_str(), text.c_str(), signature.c_str()}).status(),
        0);
    const CallResult altered =
        control.call("VerifyResult", {keyModule.c_str(), "pay 900 to Bob", signature.c_str()});
    EXPECT_EQ(altered.status(), 4);
    EXPECT_EQ(altered.hr, S_FALSE);
    EXPECT_EQ(control.call("VerifyResult", {keyModule.c_str(), Arg::nullText(), signature.c_str()})
                  .status(),
              3);

    const CallResult random = control.call("GenRandomNumber", {LONG{16}});
    EXPECT_EQ(random.text().size(), 16u);
    EXPECT_NE(random.text(), control.call("GenRandomNumber", {LONG{16}}).text());
    EXPECT_FALSE(control.call("GenRandomNumber", {LONG{-2}}).hasValue());
    EXPECT_FALSE(control.call("GenRandomNumber", {LONG{65537}}).hasValue());
    EXPECT_EQ(control.call("GenRandomNumber", {LONG{65536}}).text().size(), 65536u);
}

TEST_F(FamilyScriptTest, ExFamilyChoosesTheMarkedCertificate) {
    tokenWithIdentities();
    Control control = create();
    const std::string text = "enrol";
    const std::string signature = signScript(control, "", "_Ex", markedCertificate_, text);
    EXPECT_TRUE(control_host::opensslVerifies(markedKey_, EVP_md5(), text, fromHex(signature)));
    const std::string keyModule = control.call("GetKeyModule_Ex").text();
    EXPECT_EQ(control.call("VerifyResult_Ex", {keyModule.c_str(), text.c_str(), signature.c_str()})
                  .status(),
              0);
    // The base family's state is its own.
    EXPECT_FALSE(control.call("GetCertName").hasValue());
}

TEST_F(FamilyScriptTest, MdFamilySignsOnATokenWithOneCertificate) {
    store().removeAllTokens();
    ASSERT_FALSE(store().freshToken(1).empty());
    EVP_PKEY* key = control_host::testKey(2048, 2);
    X509* certificate = control_host::selfSignedCertificate("Carol Md", key, 0x77);
    ASSERT_TRUE(
        store().importIdentity(1, "D0000000-0000-0000-0000-000000000001", key, certificate));
    Control control = create();
    const std::string signature = signScript(control, "md_", "", certificate, "md text");
    EXPECT_TRUE(control_host::opensslVerifies(key, EVP_md5(), "md text", fromHex(signature)));
    const std::string keyModule = control.call("md_GetKeyModule").text();
    EXPECT_EQ(
        control.call("md_VerifyResult", {keyModule.c_str(), "md text", signature.c_str()}).status(),
        0);
}

TEST_F(FamilyScriptTest, TwoObjectsShareTheModuleState) {
    tokenWithIdentities();
    Control first = create();
    ASSERT_EQ(first.call("IsOnline").status(), 0);
    ASSERT_EQ(first.call("SetCertResult").status(), 0);
    first = Control(); // releasing an object keeps the state

    Control second = create();
    Control third = create();
    EXPECT_EQ(second.call("GetCertName").text(), "Alice Base");
    ASSERT_EQ(second.call("SignResult", {"shared"}).status(), 0);
    const std::string signature = third.call("GetSignature").text();
    EXPECT_TRUE(control_host::opensslVerifies(baseKey_, EVP_md5(), "shared", fromHex(signature)));
    EXPECT_EQ(third.call("IsOnline").status(), 0);
    EXPECT_FALSE(second.call("GetSignature").hasValue())
        << "a later IsOnline starts the family again";
}

TEST_F(FamilyScriptTest, A4096BitKeySignsAndVerifies) {
    tokenWithIdentities(4096);
    Control control = create();
    const std::string signature = signScript(control, "", "", baseCertificate_, "long key");
    ASSERT_EQ(signature.size(), 1024u);
    EXPECT_TRUE(control_host::opensslVerifies(baseKey_, EVP_md5(), "long key", fromHex(signature)));
    const std::string keyModule = control.call("GetKeyModule").text();
    EXPECT_EQ(keyModule, publicKeyHex(baseCertificate_));
    EXPECT_EQ(
        control.call("VerifyResult", {keyModule.c_str(), "long key", signature.c_str()}).status(),
        0);
}

class FallbackTest : public FamilyScriptTest {
protected:
    void TearDown() override {
        control_host::registerModule(CONTROL_HOST_SKYRA_PROVIDER);
        FamilyScriptTest::TearDown();
    }
};

TEST_F(FallbackTest, WithoutTheSkyraProviderTheBaseFamilyDelegatesToMd) {
    store().removeAllTokens();
    ASSERT_FALSE(store().freshToken(1).empty());
    EVP_PKEY* key = control_host::testKey(2048, 3);
    X509* certificate = control_host::selfSignedCertificate("Dave Fallback", key, 0x99);
    ASSERT_TRUE(
        store().importIdentity(1, "E0000000-0000-0000-0000-000000000001", key, certificate));
    ASSERT_EQ(control_host::unregisterModule(CONTROL_HOST_SKYRA_PROVIDER), S_OK);

    Control control = create();
    const int asked = store().pinRequests();
    // md_IsOnline logs in to the Meridia provider, md_RefreshToken sees the token: Delegated.
    ASSERT_EQ(control.call("IsOnline").status(), 0);
    EXPECT_EQ(control.call("SetCertResult").status(), 0);
    EXPECT_EQ(control.call("GetCertName").text(), "Dave Fallback");
    EXPECT_EQ(control.call("md_GetCertName").text(), "Dave Fallback")
        << "the base family works on md_'s state";
    ASSERT_EQ(control.call("SignResult", {"fallback"}).status(), 0);
    const std::string signature = control.call("GetSignature").text();
    EXPECT_EQ(signature, control.call("md_GetSignature").text());
    EXPECT_TRUE(control_host::opensslVerifies(key, EVP_md5(), "fallback", fromHex(signature)));
    EXPECT_EQ(store().pinRequests(), asked + 1) << "the Meridia provider keeps its login";

    EXPECT_EQ(control.call("RefreshToken").status(), 1);
    EXPECT_EQ(control.call("GetTokenSerial").text(), store().tokenSerial(1));
    EXPECT_EQ(control.call("GetCertName_Ex").hr, S_FALSE);
}

TEST_F(FallbackTest, WithoutEitherTokenTheBaseFamilyStaysOffline) {
    store().removeAllTokens();
    ASSERT_EQ(control_host::unregisterModule(CONTROL_HOST_SKYRA_PROVIDER), S_OK);
    Control control = create();
    const CallResult online = control.call("IsOnline");
    EXPECT_EQ(online.status(), 1);
    EXPECT_EQ(online.hr, S_FALSE);
    EXPECT_EQ(control.call("GetTokenSerial").text(), "-1") << "BaseMode None";
    EXPECT_FALSE(control.call("RefreshToken").hasValue());
    EXPECT_FALSE(control.call("SetCertResult").hasValue());
}

} // namespace
} // namespace control64_test
