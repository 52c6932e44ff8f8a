// RSA keys and OpenSSL reference operations for the provider tests.
#pragma once

#include "providers/core/OpenSsl.h"

#include <openssl/rsa.h>

#include <gtest/gtest.h>

#include <vector>

namespace providers::testing {

// One key per size for a whole test program: generation is the slow part.
inline EVP_PKEY* testKey(unsigned bits = 2048) {
    static EvpPkeyPtr key2048(EVP_RSA_gen(2048));
    static EvpPkeyPtr key1024(EVP_RSA_gen(1024));
    return bits == 1024 ? key1024.get() : key2048.get();
}

inline std::vector<unsigned char> bytesOf(const char* text) {
    return std::vector<unsigned char>(text, text + std::char_traits<char>::length(text));
}

inline std::vector<unsigned char> reversed(std::vector<unsigned char> bytes) {
    return std::vector<unsigned char>(bytes.rbegin(), bytes.rend());
}

// A PKCS#1 v1.5 signature the ordinary OpenSSL way, most significant byte first.
inline std::vector<unsigned char> opensslSign(EVP_PKEY* key, const EVP_MD* md,
                                              const std::vector<unsigned char>& data) {
    EvpMdCtxPtr context(EVP_MD_CTX_new());
    size_t length = 0;
    EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, md, nullptr, key), 1);
    EXPECT_EQ(EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()), 1);
    std::vector<unsigned char> signature(length);
    EXPECT_EQ(EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()), 1);
    signature.resize(length);
    return signature;
}

// Raw PKCS#1 v1.5 decryption with the private key, input most significant byte first.
inline std::vector<unsigned char> opensslDecrypt(EVP_PKEY* key,
                                                 const std::vector<unsigned char>& ciphertext) {
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    EXPECT_EQ(EVP_PKEY_decrypt_init(context.get()), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING), 1);
    size_t length = 0;
    EXPECT_EQ(EVP_PKEY_decrypt(context.get(), nullptr, &length, ciphertext.data(), ciphertext.size()), 1);
    std::vector<unsigned char> plaintext(length);
    if (EVP_PKEY_decrypt(context.get(), plaintext.data(), &length, ciphertext.data(),
                         ciphertext.size()) != 1)
        return {};
    plaintext.resize(length);
    return plaintext;
}

// The public half alone, as a provider receives it.
inline EvpPkeyPtr publicHalf(EVP_PKEY* key) {
    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, "n", &n), 1);
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, "e", &e), 1);
    BignumPtr nOwner(n), eOwner(e);
    ParamBuildPtr build(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD_push_BN(build.get(), "n", n);
    OSSL_PARAM_BLD_push_BN(build.get(), "e", e);
    ParamsPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* result = nullptr;
    EXPECT_EQ(EVP_PKEY_fromdata_init(context.get()), 1);
    EXPECT_EQ(EVP_PKEY_fromdata(context.get(), &result, EVP_PKEY_PUBLIC_KEY, params.get()), 1);
    return EvpPkeyPtr(result);
}

} // namespace providers::testing
