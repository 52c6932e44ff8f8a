#include "providers/core/Key.h"

#include "providers/core/Error.h"
#include "providers/core/RsaKey.h"

namespace providers {

Key::Key(ALG_ID algid, EvpPkeyPtr publicKey) : algid_(algid), publicKey_(std::move(publicKey)) {
    if (!publicKey_ || EVP_PKEY_get_base_id(publicKey_.get()) != EVP_PKEY_RSA)
        fail(NTE_BAD_KEY);
}

DWORD Key::bitLength() const {
    return rsaBits(publicKey_.get());
}

DWORD Key::byteLength() const {
    return rsaBytes(publicKey_.get());
}

void Key::getParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) const {
    if (flags != 0)
        fail(NTE_BAD_FLAGS);
    switch (param) {
    case KP_ALGID:
        copyOutDword(algid_, pbData, pcbData);
        return;
    case KP_KEYLEN:
    case KP_BLOCKLEN:
        copyOutDword(bitLength(), pbData, pcbData);
        return;
    default:
        fail(NTE_BAD_TYPE);
    }
}

} // namespace providers
