#include "providers/core/RsaKey.h"

#include "providers/core/Error.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include <cstring>

namespace providers {

namespace {

constexpr DWORD rsa1Magic = 0x31415352; // "RSA1" read as a little-endian DWORD
constexpr std::size_t blobHeaderSize = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);

void putDword(Bytes& out, DWORD value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<BYTE>(value >> shift));
}

DWORD readDword(std::span<const BYTE> bytes, std::size_t offset) {
    DWORD value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= static_cast<DWORD>(bytes[offset + i]) << (8 * i);
    return value;
}

BignumPtr bignumParam(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) != 1 || bn == nullptr)
        fail(NTE_BAD_KEY);
    return BignumPtr(bn);
}

EvpPkeyCtxPtr keyContext(EVP_PKEY* key) {
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    if (!context)
        fail(NTE_FAIL);
    return context;
}

} // namespace

ALG_ID rsaKeyAlgId(DWORD keySpecOrAlgId) {
    switch (keySpecOrAlgId) {
    case AT_SIGNATURE:
    case CALG_RSA_SIGN:
        return CALG_RSA_SIGN;
    case AT_KEYEXCHANGE:
    case CALG_RSA_KEYX:
        return CALG_RSA_KEYX;
    default:
        fail(NTE_BAD_ALGID);
    }
}

DWORD rsaBytes(EVP_PKEY* key) {
    const int bits = EVP_PKEY_get_bits(key);
    if (bits <= 0)
        fail(NTE_BAD_KEY);
    return (static_cast<DWORD>(bits) + 7) / 8;
}

DWORD rsaBits(EVP_PKEY* key) {
    return rsaBytes(key) * 8;
}

Bytes exportPublicKeyBlob(EVP_PKEY* key, ALG_ID aiKeyAlg) {
    OpenSslErrorMark mark;
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        fail(NTE_BAD_KEY);
    const BignumPtr n = bignumParam(key, OSSL_PKEY_PARAM_RSA_N);
    const BignumPtr e = bignumParam(key, OSSL_PKEY_PARAM_RSA_E);
    if (BN_num_bits(e.get()) > 32 || BN_is_zero(e.get()))
        fail(NTE_BAD_KEY);
    const DWORD modulusBytes = static_cast<DWORD>(BN_num_bytes(n.get()));
    // Whole bytes, so that every exported blob imports again.
    const DWORD bits = modulusBytes * 8;

    Bytes blob;
    blob.reserve(blobHeaderSize + modulusBytes);
    blob.push_back(static_cast<BYTE>(PUBLICKEYBLOB));
    blob.push_back(static_cast<BYTE>(CUR_BLOB_VERSION));
    blob.push_back(0);
    blob.push_back(0);
    putDword(blob, aiKeyAlg);
    putDword(blob, rsa1Magic);
    putDword(blob, bits);
    putDword(blob, static_cast<DWORD>(BN_get_word(e.get())));
    const std::size_t modulusAt = blob.size();
    blob.resize(modulusAt + modulusBytes);
    if (BN_bn2lebinpad(n.get(), blob.data() + modulusAt, static_cast<int>(modulusBytes)) < 0)
        fail(NTE_FAIL);
    return blob;
}

EvpPkeyPtr rsaPublicKeyFromParts(std::span<const BYTE> modulus, std::span<const BYTE> exponent) {
    OpenSslErrorMark mark;
    BignumPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    BignumPtr e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    if (!n || !e)
        fail(NTE_NO_MEMORY);
    ParamBuildPtr build(OSSL_PARAM_BLD_new());
    if (!build || OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
        fail(NTE_NO_MEMORY);
    ParamsPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    EvpPkeyCtxPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1)
        fail(NTE_FAIL);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1 ||
        key == nullptr)
        fail(NTE_BAD_DATA);
    return EvpPkeyPtr(key);
}

ImportedPublicKey importPublicKeyBlob(std::span<const BYTE> blob) {
    if (blob.size() < blobHeaderSize)
        fail(NTE_BAD_DATA);
    if (blob[0] != PUBLICKEYBLOB)
        fail(NTE_BAD_TYPE);
    if (blob[1] != CUR_BLOB_VERSION)
        fail(NTE_BAD_VER);
    const ALG_ID algid = readDword(blob, 4);
    if (algid != CALG_RSA_SIGN && algid != CALG_RSA_KEYX)
        fail(NTE_BAD_ALGID);
    const DWORD magic = readDword(blob, 8);
    const DWORD bits = readDword(blob, 12);
    const DWORD exponent = readDword(blob, 16);
    if (magic != rsa1Magic || bits < minimumRsaBits || bits > maximumRsaBits || bits % 8 != 0 ||
        blob.size() != blobHeaderSize + bits / 8 || exponent == 0)
        fail(NTE_BAD_DATA);

    const Bytes modulus = reversedBytes(blob.subspan(blobHeaderSize));
    // The modulus fills the length it claims. Its top bit may be clear: a certificate key of
    // 2047 bits arrives with bitlen 2048.
    if (modulus.front() == 0)
        fail(NTE_BAD_DATA);
    const BYTE exponentBytes[4] = {static_cast<BYTE>(exponent >> 24),
                                   static_cast<BYTE>(exponent >> 16),
                                   static_cast<BYTE>(exponent >> 8), static_cast<BYTE>(exponent)};
    return {algid, rsaPublicKeyFromParts(modulus, exponentBytes)};
}

void verifyPkcs1Signature(EVP_PKEY* key, const EVP_MD* md, std::span<const BYTE> digest,
                          std::span<const BYTE> signature) {
    OpenSslErrorMark mark;
    if (signature.size() != rsaBytes(key))
        fail(NTE_BAD_SIGNATURE);
    EvpPkeyCtxPtr context = keyContext(key);
    if (EVP_PKEY_verify_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), md) != 1)
        fail(NTE_FAIL);
    if (EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(),
                        digest.size()) != 1)
        fail(NTE_BAD_SIGNATURE);
}

Bytes encryptPkcs1(EVP_PKEY* key, std::span<const BYTE> plaintext) {
    OpenSslErrorMark mark;
    const DWORD k = rsaBytes(key);
    if (plaintext.size() + 11 > k)
        fail(NTE_BAD_LEN);
    EvpPkeyCtxPtr context = keyContext(key);
    if (EVP_PKEY_encrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1)
        fail(NTE_FAIL);
    std::size_t length = k;
    Bytes ciphertext(k);
    if (EVP_PKEY_encrypt(context.get(), ciphertext.data(), &length, plaintext.data(),
                         plaintext.size()) != 1)
        fail(NTE_FAIL);
    // OpenSSL writes the full modulus length; keep the k-byte form regardless.
    if (length < k) {
        ciphertext.resize(length);
        ciphertext.insert(ciphertext.begin(), k - length, 0);
    }
    return ciphertext;
}

} // namespace providers
