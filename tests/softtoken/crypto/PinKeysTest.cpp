#include "softtoken/crypto/PinKeys.h"

#include "TestSupport.h"

#include <gtest/gtest.h>
#include <string>

using namespace softtoken::crypto;
using namespace softtoken::crypto::test;

namespace {

PinKeys derive(const std::string& pin, const Bytes& salt, std::uint32_t iterations) {
    return derivePinKeys(pin.data(), pin.size(), salt, iterations);
}

std::string hexOf(const SecureBytes& b) {
    return toHex(b.data(), b.size());
}

} // namespace

TEST(softtoken_crypto_PinKeys, SplitsOnePbkdf2RunIntoVerifierThenWrappingKey) {
    // PBKDF2-HMAC-SHA256("passwd", "salt", 1 iteration, 64 bytes), the published test vector.
    const PinKeys keys = derive("passwd", bytesOf("salt"), 1);
    ASSERT_TRUE(keys.valid());
    EXPECT_EQ(hexOf(keys.verifier),
              "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc");
    EXPECT_EQ(hexOf(keys.wrappingKey),
              "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783");
}

TEST(softtoken_crypto_PinKeys, DeterministicAndSensitiveToEveryInput) {
    const Bytes salt = fromHex("00112233445566778899aabbccddeeff");
    const PinKeys base = derive("12345678", salt, 1000);
    ASSERT_TRUE(base.valid());
    EXPECT_NE(hexOf(base.verifier), hexOf(base.wrappingKey));
    EXPECT_EQ(hexOf(derive("12345678", salt, 1000).verifier), hexOf(base.verifier));

    Bytes otherSalt = salt;
    otherSalt.back() ^= 1;
    for (const PinKeys& other :
         {derive("12345679", salt, 1000), derive("12345678", otherSalt, 1000),
          derive("12345678", salt, 1001)}) {
        ASSERT_TRUE(other.valid());
        EXPECT_NE(hexOf(other.verifier), hexOf(base.verifier));
        EXPECT_NE(hexOf(other.wrappingKey), hexOf(base.wrappingKey));
    }
}

TEST(softtoken_crypto_PinKeys, ZeroIterationsGiveNoKeys) {
    const PinKeys keys = derive("1234", bytesOf("salt"), 0);
    EXPECT_FALSE(keys.valid());
    EXPECT_TRUE(keys.verifier.empty());
    EXPECT_TRUE(keys.wrappingKey.empty());
}

class softtoken_crypto_Sealing : public ::testing::Test {
protected:
    SecureBytes key{randomBytes(kSealKeyLen).data(), kSealKeyLen};
    Bytes plain = bytesOf("token key material, 32 bytes....");
    Bytes aad = bytesOf("token-serial-0001");
};

TEST_F(softtoken_crypto_Sealing, RoundTripsWithRandomIv) {
    const Bytes sealed = seal(key, plain.data(), plain.size(), aad);
    ASSERT_EQ(sealed.size(), plain.size() + kSealOverhead);
    EXPECT_NE(seal(key, plain.data(), plain.size(), aad), sealed);

    const auto opened = open(key, sealed, aad);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(Bytes(opened->begin(), opened->end()), plain);

    const Bytes empty = seal(key, nullptr, 0);
    ASSERT_EQ(empty.size(), kSealOverhead);
    const auto openedEmpty = open(key, empty);
    ASSERT_TRUE(openedEmpty.has_value());
    EXPECT_TRUE(openedEmpty->empty());
}

TEST_F(softtoken_crypto_Sealing, AnyTamperingOrWrongKeyFails) {
    const Bytes sealed = seal(key, plain.data(), plain.size(), aad);
    ASSERT_FALSE(sealed.empty());
    // First IV byte, a ciphertext byte, the last tag byte.
    for (std::size_t at : {std::size_t{0}, kSealIvLen + 3, sealed.size() - 1}) {
        Bytes bad = sealed;
        bad[at] ^= 0x01;
        EXPECT_FALSE(open(key, bad, aad).has_value()) << "flipped byte " << at;
    }
    EXPECT_FALSE(open(key, sealed, bytesOf("token-serial-0002")).has_value());
    EXPECT_FALSE(open(key, sealed).has_value());
    EXPECT_FALSE(open(key, Bytes(sealed.begin(), sealed.end() - 1), aad).has_value());
    EXPECT_FALSE(open(key, Bytes(kSealOverhead - 1, 0), aad).has_value());

    SecureBytes wrong = key;
    wrong[0] ^= 0x01;
    EXPECT_FALSE(open(wrong, sealed, aad).has_value());
}

TEST_F(softtoken_crypto_Sealing, RejectsKeysOfTheWrongLength) {
    const SecureBytes shortKey(key.data(), 16);
    EXPECT_TRUE(seal(shortKey, plain.data(), plain.size()).empty());
    const Bytes sealed = seal(key, plain.data(), plain.size());
    EXPECT_FALSE(open(shortKey, sealed).has_value());
}
