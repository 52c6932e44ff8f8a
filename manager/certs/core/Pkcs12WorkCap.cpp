#include "Pkcs12WorkCap.h"

#include <openssl/evp.h>

#include <memory>

namespace {

template <typename T> using Decoded = std::unique_ptr<T, void (*)(T*)>;

// The non-negative value of a count, or -1 when it is absent, negative or
// beyond a long.
long countOf(const ASN1_INTEGER* value) {
    std::int64_t wide = 0;
    if (value == nullptr || ASN1_INTEGER_get_int64(&wide, value) != 1 || wide < 0 ||
        wide > kMaxPkcs12Iterations)
        return -1;
    return static_cast<long>(wide);
}

// scrypt's three figures, each below 2^32; 0 when they do not decode.
struct ScryptCost {
    std::uint64_t n = 0, r = 0, p = 0;
};

std::uint64_t figure(const ASN1_INTEGER* value) {
    std::uint64_t figure = 0;
    if (value == nullptr || ASN1_INTEGER_get_uint64(&figure, value) != 1 || figure >= (1ull << 32))
        return 0;
    return figure;
}

ScryptCost scryptCost(const ASN1_TYPE* parameter) {
    Decoded<SCRYPT_PARAMS> params(static_cast<SCRYPT_PARAMS*>(ASN1_TYPE_unpack_sequence(
                                      ASN1_ITEM_rptr(SCRYPT_PARAMS), parameter)),
                                  SCRYPT_PARAMS_free);
    if (!params)
        return {};
    return {figure(params->costParameter), figure(params->blockSize),
            figure(params->parallelizationParameter)};
}

} // namespace

bool Pkcs12WorkCap::chargeMac(const ASN1_INTEGER* rounds) {
    return chargeRounds(rounds != nullptr ? countOf(rounds) : 1);
}

bool Pkcs12WorkCap::chargeRounds(long rounds) {
    if (rounds < 0 || rounds > kMaxPkcs12Iterations - rounds_)
        return false;
    rounds_ += rounds;
    return true;
}

bool Pkcs12WorkCap::charge(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* oid = nullptr;
    int parameterType = 0;
    const void* parameter = nullptr;
    if (algorithm == nullptr)
        return false;
    X509_ALGOR_get0(&oid, &parameterType, &parameter, algorithm);
    if (parameterType != V_ASN1_SEQUENCE)
        return false;
    const ASN1_TYPE* wrapped = algorithm->parameter;
    if (OBJ_obj2nid(oid) != NID_pbes2) {
        // PKCS#12's own derivation, with the rounds of PBES1's parameters.
        if (EVP_PBE_find(EVP_PBE_TYPE_OUTER, OBJ_obj2nid(oid), nullptr, nullptr, nullptr) != 1)
            return false;
        Decoded<PBEPARAM> pbes1(
            static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), wrapped)),
            PBEPARAM_free);
        return pbes1 && chargeRounds(countOf(pbes1->iter));
    }
    Decoded<PBE2PARAM> pbes2(
        static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), wrapped)),
        PBE2PARAM_free);
    if (!pbes2 || pbes2->keyfunc == nullptr || pbes2->keyfunc->parameter == nullptr ||
        pbes2->keyfunc->parameter->type != V_ASN1_SEQUENCE)
        return false;
    switch (OBJ_obj2nid(pbes2->keyfunc->algorithm)) {
    case NID_id_pbkdf2: {
        Decoded<PBKDF2PARAM> kdf(static_cast<PBKDF2PARAM*>(ASN1_TYPE_unpack_sequence(
                                     ASN1_ITEM_rptr(PBKDF2PARAM), pbes2->keyfunc->parameter)),
                                 PBKDF2PARAM_free);
        return kdf && chargeRounds(countOf(kdf->iter));
    }
    case NID_id_scrypt: {
        ScryptCost cost = scryptCost(pbes2->keyfunc->parameter);
        if (cost.n == 0 || cost.r == 0 || cost.p == 0)
            return false;
        // Each figure is below 2^32, so no product overflows before it is compared.
        if (128 * cost.r > kMaxScryptMemory || 128 * cost.r * cost.n > kMaxScryptMemory ||
            128 * cost.r * cost.p > kMaxScryptMemory)
            return false;
        if (cost.n * cost.r > kMaxScryptWork || cost.n * cost.r * cost.p > kMaxScryptWork - scryptWork_)
            return false;
        scryptWork_ += cost.n * cost.r * cost.p;
        return true;
    }
    default:
        return false;
    }
}
