// The set-up every MeridiaVaultora test shares: the default and Meridia providers and the control
// registered in the host's store, a token in slot 1 holding identities the test made (so it has
// their private keys), and helpers to read the control's answers.
#pragma once

#include "ControlHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace control32_test {

using control_host::Arg;
using control_host::CallResult;
using control_host::Control;

inline constexpr const char16_t* kProgId = u"MeridiaVaultora.MeridiaCtrl.1";
inline constexpr const char16_t* kIndependentProgId = u"MeridiaVaultora.MeridiaCtrl";

struct Identity {
    std::string container;
    std::string commonName;
    long serial;
    EVP_PKEY* key;
    X509* certificate;
};

class Control32Test : public ::testing::Test {
protected:
    void SetUp() override;

    // A fresh token in slot 1 holding these identities, in this order.
    void tokenWith(const std::vector<Identity>& identities);
    // One 1024-bit identity "Zhang San" in container "C32-0001".
    Identity singleIdentity();
    Control create();
    // IsOnline and SetCertResult, both expected to give 0.
    void goOnlineAndChoose(const Control& control);

    control_host::ComApartment apartment_;
};

// Base64 without line breaks, and its inverse, through OpenSSL (independent of the control).
std::vector<unsigned char> base64Decode(const std::string& text);
// The subject public key bit string of a key (DER RSAPublicKey) as hex: what GetKeyModule gives.
std::string keyModuleOf(EVP_PKEY* key);
// OpenSSL's PKCS#1 v1.5 decryption; empty on failure.
std::string opensslDecrypt(EVP_PKEY* key, const std::vector<unsigned char>& cipherText);

} // namespace control32_test
