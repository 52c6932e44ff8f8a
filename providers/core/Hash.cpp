#include "providers/core/Hash.h"

#include "providers/core/Error.h"

#include <array>

namespace providers {

namespace {

// DER of DigestInfo up to the OCTET STRING header of the digest (RFC 8017, section 9.2).
constexpr std::array<BYTE, 18> md5Prefix = {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                            0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10};
constexpr std::array<BYTE, 15> sha1Prefix = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                             0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
constexpr std::array<BYTE, 19> sha256Prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                               0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                               0x01, 0x05, 0x00, 0x04, 0x20};

const EVP_MD* digestFor(ALG_ID algid) {
    switch (algid) {
    case CALG_MD5:
        return EVP_md5();
    case CALG_SHA1:
        return EVP_sha1();
    case CALG_SHA_256:
        return EVP_sha256();
    default:
        fail(NTE_BAD_ALGID);
    }
}

} // namespace

std::span<const BYTE> digestInfoPrefix(ALG_ID algid) {
    switch (algid) {
    case CALG_MD5:
        return md5Prefix;
    case CALG_SHA1:
        return sha1Prefix;
    case CALG_SHA_256:
        return sha256Prefix;
    default:
        fail(NTE_BAD_ALGID);
    }
}

HashObject::HashObject(ALG_ID algid)
    : algid_(algid), md_(digestFor(algid)), context_(EVP_MD_CTX_new()) {
    OpenSslErrorMark mark;
    if (!context_ || EVP_DigestInit_ex(context_.get(), md_, nullptr) != 1)
        fail(NTE_FAIL);
}

DWORD HashObject::size() const {
    return static_cast<DWORD>(EVP_MD_get_size(md_));
}

void HashObject::hashData(std::span<const BYTE> data) {
    if (finished_)
        fail(NTE_BAD_HASH_STATE);
    OpenSslErrorMark mark;
    if (!data.empty() && EVP_DigestUpdate(context_.get(), data.data(), data.size()) != 1)
        fail(NTE_FAIL);
}

const Bytes& HashObject::value() {
    if (!finished_) {
        OpenSslErrorMark mark;
        Bytes digest(EVP_MAX_MD_SIZE);
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(context_.get(), digest.data(), &length) != 1)
            fail(NTE_FAIL);
        digest.resize(length);
        value_ = std::move(digest);
        finished_ = true;
    }
    return value_;
}

Bytes HashObject::digestInfo() {
    const auto prefix = digestInfoPrefix(algid_);
    const Bytes& digest = value();
    Bytes info(prefix.begin(), prefix.end());
    info.insert(info.end(), digest.begin(), digest.end());
    return info;
}

void HashObject::getParam(DWORD param, BYTE* pbData, DWORD* pcbData, DWORD flags) {
    if (flags != 0)
        fail(NTE_BAD_FLAGS);
    switch (param) {
    case HP_ALGID:
        copyOutDword(algid_, pbData, pcbData);
        return;
    case HP_HASHSIZE:
        copyOutDword(size(), pbData, pcbData);
        return;
    case HP_HASHVAL:
        // A length query must not finish the object: more data may still follow it.
        if (pbData == nullptr && !finished_) {
            if (pcbData == nullptr)
                fail(ERROR_INVALID_PARAMETER);
            *pcbData = size();
            return;
        }
        if (pcbData != nullptr && *pcbData < size() && !finished_) {
            *pcbData = size();
            fail(ERROR_MORE_DATA);
        }
        copyOut(value(), pbData, pcbData);
        return;
    default:
        fail(NTE_BAD_TYPE);
    }
}

} // namespace providers
