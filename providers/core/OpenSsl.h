// Owning pointers for the OpenSSL objects the provider core uses, and the error-queue guard.
#pragma once

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

namespace providers {

template <auto FreeFunction>
struct OpenSslFree {
    template <typename T>
    void operator()(T* object) const noexcept {
        FreeFunction(object);
    }
};

using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslFree<EVP_MD_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, OpenSslFree<BN_free>>;
using ParamBuildPtr = std::unique_ptr<OSSL_PARAM_BLD, OpenSslFree<OSSL_PARAM_BLD_free>>;
using ParamsPtr = std::unique_ptr<OSSL_PARAM, OpenSslFree<OSSL_PARAM_free>>;

// The host process may use OpenSSL too: a provider call drops the error entries it added.
class OpenSslErrorMark {
public:
    OpenSslErrorMark() { ERR_set_mark(); }
    ~OpenSslErrorMark() { ERR_pop_to_mark(); }
    OpenSslErrorMark(const OpenSslErrorMark&) = delete;
    OpenSslErrorMark& operator=(const OpenSslErrorMark&) = delete;
};

} // namespace providers
