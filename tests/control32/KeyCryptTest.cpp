// CryptByPukey and DecryByPrikey through IDispatch: the ciphertext's byte order against OpenSSL,
// the round trip over the token's key, the refusals, and texts under two ANSI code pages.
#include "Control32Fixture.h"
#include "MeridiaVaultora.h"

#include "platform/win/CodePages.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>

namespace control32_test {
namespace {

class KeyCryptTest : public Control32Test {
protected:
    void TearDown() override {
        unsetenv("KORVAN_ANSI_CODEPAGE");
        korvanResetAnsiCodePage();
    }
    static void useCodePage(const char* codePage) {
        setenv("KORVAN_ANSI_CODEPAGE", codePage, 1);
        korvanResetAnsiCodePage();
    }
};

std::vector<unsigned char> reversedBytes(std::vector<unsigned char> bytes) {
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

TEST_F(KeyCryptTest, CiphertextIsLeastSignificantByteFirstAndDecryptsWithTheContainersKey) {
    const Identity identity = singleIdentity();
    tokenWith({identity});
    Control control = create();
    goOnlineAndChoose(control);
    const std::string keyModule = control.call("GetKeyModule").text();

    const CallResult encrypted = control.call("CryptByPukey", {"secret text", keyModule.c_str()});
    ASSERT_EQ(encrypted.hr, S_OK);
    const std::string base64 = encrypted.text();
    EXPECT_EQ(base64.size(), 172u); // 128 bytes, no line breaks
    const std::vector<unsigned char> cipherText = base64Decode(base64);
    ASSERT_EQ(cipherText.size(), 128u);
    EXPECT_EQ(opensslDecrypt(identity.key, reversedBytes(cipherText)), "secret text");
    EXPECT_EQ(opensslDecrypt(identity.key, cipherText), "");

    EXPECT_EQ(control.call("DecryByPrikey", {base64.c_str()}).text(), "secret text");
}

TEST_F(KeyCryptTest, DecryptionUsesTheChosenContainerWithoutGoingOnlineAgain) {
    tokenWith({singleIdentity()});
    Control first = create();
    goOnlineAndChoose(first);
    const std::string keyModule = first.call("GetKeyModule").text();
    const std::string base64 = first.call("CryptByPukey", {"from another object", keyModule.c_str()}).text();
    const int asked = control_host::TokenStore::instance().pinRequests();

    // A new object never calls IsOnline: the module-wide choice names the container.
    Control second = create();
    EXPECT_EQ(second.call("DecryByPrikey", {base64.c_str()}).text(), "from another object");
    EXPECT_EQ(control_host::TokenStore::instance().pinRequests(), asked);

    // A key that is not the container's does not decrypt.
    EVP_PKEY* otherKey = control_host::testKey(1024, 1);
    const std::string foreign = second.call("CryptByPukey", {"x", keyModuleOf(otherKey).c_str()}).text();
    ASSERT_NE(foreign, "FALSE");
    EXPECT_EQ(second.call("DecryByPrikey", {foreign.c_str()}).text(), "FALSE");
}

TEST_F(KeyCryptTest, DecryptionInAFreshModuleNeverAsksForThePin) {
    tokenWith({singleIdentity()});
    const std::string base64 =
        create().call("CryptByPukey", {"quiet", keyModuleOf(singleIdentity().key).c_str()}).text();
    ASSERT_NE(base64, "FALSE");
    const int asked = control_host::TokenStore::instance().pinRequests();

    // No IsOnline in this process: the token is not logged in and the silent open fails.
    const CallResult decrypted = create().call("DecryByPrikey", {base64.c_str()});
    EXPECT_EQ(decrypted.hr, S_OK);
    EXPECT_EQ(decrypted.text(), "FALSE");
    EXPECT_EQ(control_host::TokenStore::instance().pinRequests(), asked);
}

TEST_F(KeyCryptTest, MalformedArgumentsAndOverlongTextsGiveFalseWithSuccess) {
    Control control = create();
    const std::string key = keyModuleOf(control_host::testKey(1024, 0));
    ASSERT_EQ(key.size() % 4, 0u);
    EXPECT_NE(control.call("CryptByPukey", {"ok", key.c_str()}).text(), "FALSE");

    // A key of an odd number of bytes fails the Base64 test before it is decoded: a 1032-bit
    // key's record is 141 bytes, a 1040-bit one's 142.
    const std::string oddKey = keyModuleOf(control_host::testKey(1032, 0));
    const std::string evenKey = keyModuleOf(control_host::testKey(1040, 0));
    ASSERT_EQ(oddKey.size(), 282u);
    ASSERT_EQ(evenKey.size(), 284u);
    EXPECT_NE(control.call("CryptByPukey", {"ok", evenKey.c_str()}).text(), "FALSE");

    const std::string longest(117, 'a'); // PKCS#1 v1.5 room in a 1024-bit key
    EXPECT_NE(control.call("CryptByPukey", {longest.c_str(), key.c_str()}).text(), "FALSE");

    const std::string tooLong(118, 'a');
    const std::vector<std::vector<Arg>> refusedEncryptions = {
        {"ok", oddKey.c_str()},
        {"ok", (key + "=").c_str()},
        {"ok", ("=" + key.substr(1)).c_str()},
        {"ok", (key.substr(0, key.size() - 2) + "=A").c_str()},
        {"", key.c_str()},
        {"ok", ""},
        {"ok", "00000000"},
        {tooLong.c_str(), key.c_str()},
    };
    for (const std::vector<Arg>& arguments : refusedEncryptions) {
        const CallResult result = control.call("CryptByPukey", arguments);
        EXPECT_EQ(result.hr, S_OK);
        EXPECT_EQ(result.text(), "FALSE");
    }
    // An absent text (a null BSTR, which no script argument produces) through the interface.
    IMeridiaCtrl* direct = nullptr;
    ASSERT_EQ(control.dispatch()->QueryInterface(IID_IMeridiaCtrl, reinterpret_cast<void**>(&direct)), S_OK);
    BSTR keyText = SysAllocStringLen(std::u16string(key.begin(), key.end()).data(), static_cast<UINT>(key.size()));
    for (const auto& [plain, publicKey] : {std::pair<BSTR, BSTR>{nullptr, keyText}, {keyText, nullptr}}) {
        BSTR answer = nullptr;
        EXPECT_EQ(direct->get_CryptByPukey(plain, publicKey, &answer), S_OK);
        EXPECT_EQ(std::u16string(answer, SysStringLen(answer)), u"FALSE");
        SysFreeString(answer);
    }
    BSTR answer = nullptr;
    EXPECT_EQ(direct->get_DecryByPrikey(nullptr, &answer), S_OK);
    EXPECT_EQ(std::u16string(answer, SysStringLen(answer)), u"FALSE");
    SysFreeString(answer);
    SysFreeString(keyText);
    direct->Release();

    for (const char* text : {"", "abc", "ab=c", "@@@@", "AAAA===="}) {
        const CallResult result = control.call("DecryByPrikey", {text});
        EXPECT_EQ(result.hr, S_OK);
        EXPECT_EQ(result.text(), "FALSE") << text;
    }
}

TEST_F(KeyCryptTest, DecryptedTextStopsAtTheFirstZeroByteAndAtThreeHundredBytes) {
    EVP_PKEY* key = control_host::testKey(4096, 0);
    tokenWith({{"C32-4096", "Wang Wu", 9, key, control_host::selfSignedCertificate("Wang Wu", key, 9)}});
    Control control = create();
    goOnlineAndChoose(control);
    const std::string keyModule = control.call("GetKeyModule").text();

    const std::string long400(400, 'q');
    const std::string encrypted = control.call("CryptByPukey", {long400.c_str(), keyModule.c_str()}).text();
    ASSERT_NE(encrypted, "FALSE");
    EXPECT_EQ(control.call("DecryByPrikey", {encrypted.c_str()}).text(), std::string(300, 'q'));

    // A zero byte inside the plaintext, encrypted by OpenSSL, ends the text.
    const std::string withZero("head\0tail", 9);
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    ASSERT_NE(context, nullptr);
    size_t length = 0;
    ASSERT_EQ(EVP_PKEY_encrypt_init(context), 1);
    ASSERT_EQ(EVP_PKEY_encrypt(context, nullptr, &length, reinterpret_cast<const unsigned char*>(withZero.data()),
                               withZero.size()),
              1);
    std::vector<unsigned char> cipherText(length);
    ASSERT_EQ(EVP_PKEY_encrypt(context, cipherText.data(), &length,
                               reinterpret_cast<const unsigned char*>(withZero.data()), withZero.size()),
              1);
    EVP_PKEY_CTX_free(context);
    cipherText.resize(length);
    std::reverse(cipherText.begin(), cipherText.end());
    std::string base64(4 * ((cipherText.size() + 2) / 3) + 1, '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), cipherText.data(),
                    static_cast<int>(cipherText.size()));
    base64.pop_back();
    EXPECT_EQ(control.call("DecryByPrikey", {base64.c_str()}).text(), "head");
}

TEST_F(KeyCryptTest, ChineseTextRoundTripsInTheSystemCodePage) {
    const Identity identity = singleIdentity();
    tokenWith({identity});
    const std::u16string text = u"数字证书测试";
    const struct {
        const char* codePage;
        std::string bytes; // what the key encrypts
    } cases[] = {
        {"936", "\xCA\xFD\xD7\xD6\xD6\xA4\xCA\xE9\xB2\xE2\xCA\xD4"},
        {"65001", "\xE6\x95\xB0\xE5\xAD\x97\xE8\xAF\x81\xE4\xB9\xA6\xE6\xB5\x8B\xE8\xAF\x95"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codePage);
        useCodePage(c.codePage);
        Control control = create();
        goOnlineAndChoose(control);
        const std::string keyModule = control.call("GetKeyModule").text();
        const std::string encrypted = control.call("CryptByPukey", {text, keyModule.c_str()}).text();
        ASSERT_NE(encrypted, "FALSE");
        EXPECT_EQ(opensslDecrypt(identity.key, reversedBytes(base64Decode(encrypted))), c.bytes);
        EXPECT_EQ(control.call("DecryByPrikey", {encrypted.c_str()}).utf16(), text);
    }
}

} // namespace
} // namespace control32_test
