#include "Control32Fixture.h"

#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

namespace control32_test {
namespace {

// Registered once per test program, into the host's private store.
void registerModules() {
    static bool done = false;
    if (done)
        return;
    control_host::TokenStore::instance();
    ASSERT_EQ(control_host::registerModule(DEFAULT_PROVIDER_MODULE), S_OK);
    ASSERT_EQ(control_host::registerModule(CONTROL_HOST_MERIDIA_PROVIDER), S_OK);
    ASSERT_EQ(control_host::registerModule(CONTROL32_MODULE), S_OK);
    done = true;
}

} // namespace

void Control32Test::SetUp() {
    registerModules();
    control_host::TokenStore::instance().pinentryAnswers("pin");
}

void Control32Test::tokenWith(const std::vector<Identity>& identities) {
    auto& store = control_host::TokenStore::instance();
    ASSERT_FALSE(store.freshToken(1).empty());
    for (const Identity& identity : identities)
        ASSERT_TRUE(store.importIdentity(1, identity.container, identity.key, identity.certificate));
}

Identity Control32Test::singleIdentity() {
    EVP_PKEY* key = control_host::testKey(1024, 0);
    return {"C32-0001", "Zhang San", 0x1234AB, key, control_host::selfSignedCertificate("Zhang San", key, 0x1234AB)};
}

Control Control32Test::create() {
    HRESULT hr = E_FAIL;
    Control control = Control::create(kProgId, &hr);
    EXPECT_EQ(hr, S_OK);
    return control;
}

void Control32Test::goOnlineAndChoose(const Control& control) {
    ASSERT_EQ(control.call("IsOnline").status(), 0);
    ASSERT_EQ(control.call("SetCertResult").status(), 0);
}

std::vector<unsigned char> base64Decode(const std::string& text) {
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 3);
    const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0)
        return {};
    size_t pads = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        ++pads;
    bytes.resize(static_cast<size_t>(length) - pads);
    return bytes;
}

std::string keyModuleOf(EVP_PKEY* key) {
    X509_PUBKEY* publicKey = nullptr;
    if (X509_PUBKEY_set(&publicKey, key) != 1)
        return {};
    const unsigned char* data = nullptr;
    int length = 0;
    std::string text;
    if (X509_PUBKEY_get0_param(nullptr, &data, &length, nullptr, publicKey) == 1)
        text = control_host::toHex(std::vector<unsigned char>(data, data + length));
    X509_PUBKEY_free(publicKey);
    return text;
}

std::string opensslDecrypt(EVP_PKEY* key, const std::vector<unsigned char>& cipherText) {
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    std::string plain;
    size_t length = 0;
    if (context != nullptr && EVP_PKEY_decrypt_init(context) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_decrypt(context, nullptr, &length, cipherText.data(), cipherText.size()) == 1) {
        plain.resize(length);
        if (EVP_PKEY_decrypt(context, reinterpret_cast<unsigned char*>(plain.data()), &length, cipherText.data(),
                             cipherText.size()) == 1)
            plain.resize(length);
        else
            plain.clear();
    }
    EVP_PKEY_CTX_free(context);
    return plain;
}

} // namespace control32_test
