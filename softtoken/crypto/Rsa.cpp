#include "softtoken/crypto/Rsa.h"

#include "softtoken/crypto/ErrorMark.h"
#include "softtoken/crypto/PreparedContexts.h"

#include <memory>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/param_build.h>

namespace softtoken::crypto {
namespace {

struct BnFree {
    void operator()(BIGNUM* p) const noexcept { BN_clear_free(p); }
};
struct BnCtxFree {
    void operator()(BN_CTX* p) const noexcept { BN_CTX_free(p); }
};
struct ParamBldFree {
    void operator()(OSSL_PARAM_BLD* p) const noexcept { OSSL_PARAM_BLD_free(p); }
};
struct ParamFree {
    void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, ParamFree>;
using LocalPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

PkeyPtr adopt(EVP_PKEY* key) {
    return withPreparedContexts(key);
}

BnPtr toBn(const Bytes& b) {
    if (b.empty() || b.size() > static_cast<std::size_t>(INT_MAX)) {
        return nullptr;
    }
    return BnPtr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}

// Private values live in "secure" BIGNUMs: the parameter builder then places them in
// a block that OSSL_PARAM_free wipes.
BnPtr secureBn() {
    return BnPtr(BN_secure_new());
}
BnPtr toSecureBn(const Bytes& b) {
    if (b.empty() || b.size() > static_cast<std::size_t>(INT_MAX)) {
        return nullptr;
    }
    BnPtr bn = secureBn();
    if (!bn || !BN_bin2bn(b.data(), static_cast<int>(b.size()), bn.get())) {
        return nullptr;
    }
    return bn;
}

Bytes fromBn(const BIGNUM* bn) {
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    if (!out.empty()) {
        BN_bn2bin(bn, out.data());
    }
    return out;
}

bool readBn(const EVP_PKEY* key, const char* name, Bytes& out) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) {
        return false;
    }
    BnPtr bn(raw);
    out = fromBn(bn.get());
    return true;
}

PkeyPtr fromData(OSSL_PARAM_BLD* bld, int selection) {
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld));
    LocalPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) {
        return nullptr;
    }
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) != 1) {
        return nullptr;
    }
    return adopt(key);
}

bool usableModulus(const BIGNUM* n) {
    // An even or tiny modulus makes OpenSSL's Montgomery set-up fail later at sign time.
    return BN_is_odd(n) && BN_num_bits(n) >= 256;
}

struct Crt {
    BnPtr p, q, dp, dq, qinv;
};

// Fills in dp, dq and qinv from the primes.
bool completeCrt(const BIGNUM* d, Crt& crt, BN_CTX* bnCtx) {
    BnPtr pm1(BN_dup(crt.p.get())), qm1(BN_dup(crt.q.get()));
    crt.dp = secureBn();
    crt.dq = secureBn();
    if (!pm1 || !qm1 || !crt.dp || !crt.dq || BN_sub_word(pm1.get(), 1) != 1 ||
        BN_sub_word(qm1.get(), 1) != 1 || BN_mod(crt.dp.get(), d, pm1.get(), bnCtx) != 1 ||
        BN_mod(crt.dq.get(), d, qm1.get(), bnCtx) != 1) {
        return false;
    }
    crt.qinv = secureBn();
    return crt.qinv && BN_mod_inverse(crt.qinv.get(), crt.q.get(), crt.p.get(), bnCtx) != nullptr;
}

// The CRT values when both primes are given: the other three taken as given when
// present, else computed; the primes are checked against the modulus.
bool crtFromParts(const RsaKeyParts& parts, const BIGNUM* n, const BIGNUM* d, Crt& crt) {
    BnCtxPtr bnCtx(BN_CTX_new());
    crt.p = toSecureBn(parts.prime1);
    crt.q = toSecureBn(parts.prime2);
    BnPtr product(BN_new());
    if (!bnCtx || !crt.p || !crt.q || !product ||
        BN_mul(product.get(), crt.p.get(), crt.q.get(), bnCtx.get()) != 1 ||
        BN_cmp(product.get(), n) != 0) {
        return false;
    }
    if (!parts.exponent1.empty() && !parts.exponent2.empty() && !parts.coefficient.empty()) {
        crt.dp = toSecureBn(parts.exponent1);
        crt.dq = toSecureBn(parts.exponent2);
        crt.qinv = toSecureBn(parts.coefficient);
        return crt.dp && crt.dq && crt.qinv;
    }
    return completeCrt(d, crt, bnCtx.get());
}

// Factors n from e and d (the usual randomized square-root-of-one search), so a key
// stored as n, e, d alone still gets the CRT speed-up. False when d does not fit e.
bool crtFromExponents(const BIGNUM* n, const BIGNUM* e, const BIGNUM* d, Crt& crt) {
    BnCtxPtr bnCtx(BN_CTX_new());
    BnPtr r = secureBn(), nm1(BN_dup(n)), g = secureBn(), y = secureBn(), x = secureBn(),
          rem = secureBn();
    crt.p = secureBn();
    crt.q = secureBn();
    if (!bnCtx || !r || !nm1 || !g || !y || !x || !rem || !crt.p || !crt.q ||
        BN_mul(r.get(), d, e, bnCtx.get()) != 1 || BN_sub_word(r.get(), 1) != 1 ||
        BN_sub_word(nm1.get(), 1) != 1) {
        return false;
    }
    // d*e - 1 is a multiple of lcm(p-1, q-1), hence even: write it as 2^t * r, r odd.
    if (BN_is_zero(r.get()) || BN_is_odd(r.get())) {
        return false;
    }
    int t = 0;
    while (!BN_is_odd(r.get())) {
        if (BN_rshift1(r.get(), r.get()) != 1) {
            return false;
        }
        ++t;
    }
    // Each try succeeds with probability at least 1/2.
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (BN_rand_range(g.get(), nm1.get()) != 1) {
            return false;
        }
        if (BN_cmp(g.get(), BN_value_one()) <= 0 ||
            BN_mod_exp(y.get(), g.get(), r.get(), n, bnCtx.get()) != 1 || BN_is_one(y.get()) ||
            BN_cmp(y.get(), nm1.get()) == 0) {
            continue;
        }
        for (int i = 0; i < t; ++i) {
            if (BN_mod_sqr(x.get(), y.get(), n, bnCtx.get()) != 1) {
                return false;
            }
            if (BN_is_one(x.get())) {
                // y is a square root of 1 other than +-1: gcd(y - 1, n) is a factor.
                if (BN_sub_word(y.get(), 1) != 1 ||
                    BN_gcd(crt.p.get(), y.get(), n, bnCtx.get()) != 1 ||
                    BN_div(crt.q.get(), rem.get(), n, crt.p.get(), bnCtx.get()) != 1 ||
                    !BN_is_zero(rem.get()) || BN_is_one(crt.p.get()) || BN_is_one(crt.q.get())) {
                    return false;
                }
                return completeCrt(d, crt, bnCtx.get());
            }
            if (BN_cmp(x.get(), nm1.get()) == 0) {
                break;
            }
            if (!BN_copy(y.get(), x.get())) {
                return false;
            }
        }
    }
    return false;
}

} // namespace

void RsaKeyParts::wipePrivate() noexcept {
    for (Bytes* b : {&privateExponent, &prime1, &prime2, &exponent1, &exponent2, &coefficient}) {
        wipe(b->data(), b->size());
        b->clear();
    }
}

CK_RV generateRsaKeyPair(CK_ULONG modulusBits, const Bytes& publicExponent, RsaKeyParts& out) {
    if (modulusBits < kRsaMinModulusBits || modulusBits > kRsaMaxModulusBits) {
        return CKR_KEY_SIZE_RANGE;
    }
    std::uint64_t e = 0;
    if (publicExponent.empty()) {
        e = 65537;
    } else {
        std::size_t i = 0;
        while (i < publicExponent.size() && publicExponent[i] == 0) {
            ++i;
        }
        if (publicExponent.size() - i > sizeof(e)) {
            return CKR_ATTRIBUTE_VALUE_INVALID;
        }
        for (; i < publicExponent.size(); ++i) {
            e = (e << 8) | publicExponent[i];
        }
    }
    if (e < 3 || (e & 1) == 0) {
        return CKR_ATTRIBUTE_VALUE_INVALID;
    }

    ErrorMark mark;
    LocalPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx) {
        return CKR_HOST_MEMORY;
    }
    std::size_t bits = modulusBits;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_size_t(OSSL_PKEY_PARAM_RSA_BITS, &bits),
        OSSL_PARAM_construct_uint64(OSSL_PKEY_PARAM_RSA_E, &e),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_params(ctx.get(), params) != 1 ||
        EVP_PKEY_generate(ctx.get(), &raw) != 1) {
        return CKR_FUNCTION_FAILED;
    }
    PkeyPtr key = adopt(raw);

    RsaKeyParts parts;
    const bool ok = readBn(key.get(), OSSL_PKEY_PARAM_RSA_N, parts.modulus) &&
                    readBn(key.get(), OSSL_PKEY_PARAM_RSA_E, parts.publicExponent) &&
                    readBn(key.get(), OSSL_PKEY_PARAM_RSA_D, parts.privateExponent) &&
                    readBn(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, parts.prime1) &&
                    readBn(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, parts.prime2) &&
                    readBn(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, parts.exponent1) &&
                    readBn(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, parts.exponent2) &&
                    readBn(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, parts.coefficient);
    if (!ok) {
        parts.wipePrivate();
        return CKR_FUNCTION_FAILED;
    }
    out.wipePrivate();
    out = std::move(parts);
    return CKR_OK;
}

PkeyPtr makeRsaPublicKey(const Bytes& modulus, const Bytes& exponent) {
    ErrorMark mark;
    BnPtr n = toBn(modulus), e = toBn(exponent);
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !bld || !usableModulus(n.get()) || BN_is_zero(e.get()) ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
        return nullptr;
    }
    return fromData(bld.get(), EVP_PKEY_PUBLIC_KEY);
}

PkeyPtr makeRsaPrivateKey(const RsaKeyParts& parts) {
    ErrorMark mark;
    BnPtr n = toBn(parts.modulus), e = toBn(parts.publicExponent),
          d = toSecureBn(parts.privateExponent);
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !d || !bld || !usableModulus(n.get()) || BN_is_zero(e.get()) ||
        BN_is_zero(d.get()) ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) != 1) {
        return nullptr;
    }
    Crt crt;
    bool haveCrt = false;
    if (!parts.prime1.empty() && !parts.prime2.empty()) {
        // Primes that do not multiply to the modulus mean a corrupt key.
        if (!crtFromParts(parts, n.get(), d.get(), crt)) {
            return nullptr;
        }
        haveCrt = true;
    } else {
        // Without the CRT values OpenSSL works from d alone, several times slower.
        haveCrt = crtFromExponents(n.get(), e.get(), d.get(), crt);
    }
    if (haveCrt &&
        (OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, crt.p.get()) != 1 ||
         OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, crt.q.get()) != 1 ||
         OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, crt.dp.get()) != 1 ||
         OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, crt.dq.get()) != 1 ||
         OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, crt.qinv.get()) !=
             1)) {
        return nullptr;
    }
    return fromData(bld.get(), EVP_PKEY_KEYPAIR);
}

CK_ULONG rsaModulusBits(const Bytes& modulus) {
    std::size_t i = 0;
    while (i < modulus.size() && modulus[i] == 0) {
        ++i;
    }
    if (i == modulus.size()) {
        return 0;
    }
    CK_ULONG bits = static_cast<CK_ULONG>(modulus.size() - i - 1) * 8;
    for (std::uint8_t top = modulus[i]; top != 0; top >>= 1) {
        ++bits;
    }
    return bits;
}

CK_ULONG rsaModulusBytes(const EVP_PKEY* key) {
    if (key == nullptr || !EVP_PKEY_is_a(key, "RSA")) {
        return 0;
    }
    const int size = EVP_PKEY_get_size(key);
    return size > 0 ? static_cast<CK_ULONG>(size) : 0;
}

} // namespace softtoken::crypto
