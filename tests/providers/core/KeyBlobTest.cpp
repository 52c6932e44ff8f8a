#include "ErrorOf.h"
#include "TestKeys.h"

#include "providers/core/RsaKey.h"

#include <openssl/core_names.h>

#include <gtest/gtest.h>

using namespace providers;
using namespace providers::testing;

namespace {

std::string hex(std::span<const BYTE> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (BYTE b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

Bytes modulusMostSignificantFirst(EVP_PKEY* key) {
    BIGNUM* n = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &n), 1);
    BignumPtr owner(n);
    Bytes bytes(BN_num_bytes(n));
    BN_bn2bin(n, bytes.data());
    return bytes;
}

void putDword(Bytes& blob, std::size_t offset, DWORD value) {
    for (int i = 0; i < 4; ++i)
        blob[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

} // namespace

TEST(PublicKeyBlob, ExportHasTheWindowsLayout) {
    EVP_PKEY* key = testKey(2048);
    const Bytes blob = exportPublicKeyBlob(key, CALG_RSA_SIGN);
    ASSERT_EQ(blob.size(), 20u + 256u);
    EXPECT_EQ(hex(std::span(blob).first(20)), "0602000000240000525341310008000001000100");
    EXPECT_EQ(Bytes(blob.begin() + 20, blob.end()), reversed(modulusMostSignificantFirst(key)));

    const Bytes exchange = exportPublicKeyBlob(key, CALG_RSA_KEYX);
    EXPECT_EQ(hex(std::span(exchange).subspan(4, 4)), "00a40000");

    EVP_PKEY* small = testKey(1024);
    const Bytes smallBlob = exportPublicKeyBlob(small, CALG_RSA_SIGN);
    EXPECT_EQ(smallBlob.size(), 148u); // 296 hex characters, as the enrolment flow shows
    EXPECT_EQ(hex(std::span(smallBlob).subspan(12, 4)), "00040000");
}

TEST(PublicKeyBlob, ExportRefusesExponentsWiderThan32Bits) {
    const Bytes modulus = modulusMostSignificantFirst(testKey(1024));
    const BYTE wide[] = {0x01, 0x00, 0x00, 0x00, 0x01};
    EvpPkeyPtr key = rsaPublicKeyFromParts(modulus, wide);
    EXPECT_EQ(errorOf([&] { exportPublicKeyBlob(key.get(), CALG_RSA_SIGN); }), code(NTE_BAD_KEY));
}

TEST(PublicKeyBlob, ImportRoundTripsTheKeyAndItsAlgorithm) {
    for (ALG_ID algid : {CALG_RSA_SIGN, CALG_RSA_KEYX}) {
        ImportedPublicKey imported = importPublicKeyBlob(exportPublicKeyBlob(testKey(2048), algid));
        EXPECT_EQ(imported.algid, algid);
        EXPECT_EQ(EVP_PKEY_eq(imported.key.get(), testKey(2048)), 1);
        EXPECT_EQ(rsaBits(imported.key.get()), 2048u);
    }
}

TEST(PublicKeyBlob, MalformedBlobsAreRefused) {
    const Bytes good = exportPublicKeyBlob(testKey(1024), CALG_RSA_SIGN);
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        HRESULT expected;
    };
    const Case cases[] = {
        {"private key blob type", [](Bytes& b) { b[0] = PRIVATEKEYBLOB; }, NTE_BAD_TYPE},
        {"version 1", [](Bytes& b) { b[1] = 1; }, NTE_BAD_VER},
        {"hash algorithm", [](Bytes& b) { putDword(b, 4, CALG_MD5); }, NTE_BAD_ALGID},
        {"RSA2 magic", [](Bytes& b) { b[11] = '2'; }, NTE_BAD_DATA},
        {"bit length not a multiple of 8", [](Bytes& b) { putDword(b, 12, 1023); }, NTE_BAD_DATA},
        {"bit length larger than the data", [](Bytes& b) { putDword(b, 12, 1032); }, NTE_BAD_DATA},
        {"bit length below 512",
         [](Bytes& b) { putDword(b, 12, 504); b.resize(20 + 63); }, NTE_BAD_DATA},
        {"bit length above 16384",
         [](Bytes& b) { putDword(b, 12, 16392); b.resize(20 + 2049, 0xFF); }, NTE_BAD_DATA},
        {"one byte short", [](Bytes& b) { b.pop_back(); }, NTE_BAD_DATA},
        {"one byte too many", [](Bytes& b) { b.push_back(0); }, NTE_BAD_DATA},
        {"zero exponent", [](Bytes& b) { putDword(b, 16, 0); }, NTE_BAD_DATA},
        {"modulus shorter than claimed", [](Bytes& b) { b.back() = 0x00; }, NTE_BAD_DATA},
        {"header only", [](Bytes& b) { b.resize(20); }, NTE_BAD_DATA},
        {"cut inside the header", [](Bytes& b) { b.resize(11); }, NTE_BAD_DATA},
        {"empty", [](Bytes& b) { b.clear(); }, NTE_BAD_DATA},
    };
    for (const Case& c : cases) {
        Bytes blob = good;
        c.damage(blob);
        EXPECT_EQ(errorOf([&] { importPublicKeyBlob(blob); }), code(c.expected)) << c.what;
    }
    EXPECT_EQ(errorOf([&] { importPublicKeyBlob(good); }), ERROR_SUCCESS);
}

// Certificates can hold keys a few bits short of their byte length; they count in whole bytes.
TEST(PublicKeyBlob, KeysShortOfWholeBytesCountInWholeBytes) {
    Bytes blob = exportPublicKeyBlob(testKey(1024), CALG_RSA_KEYX);
    blob.back() = 0x7F;
    ImportedPublicKey imported = importPublicKeyBlob(blob);
    EXPECT_EQ(EVP_PKEY_get_bits(imported.key.get()), 1023);
    EXPECT_EQ(rsaBits(imported.key.get()), 1024u);
    EXPECT_EQ(exportPublicKeyBlob(imported.key.get(), CALG_RSA_KEYX), blob);
}
