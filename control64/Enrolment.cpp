#include "Enrolment.h"

#include "controls/ContainerNames.h"
#include "controls/TextCodecs.h"

#include <wincrypt.h>

#include <cstdio>
#include <cstring>

using certflows::StatusResult;
using certflows::TextIn;
using certflows::TextResult;

namespace {

constexpr UINT kCodePage = CP_THREAD_ACP;
const char* const kProvider = certflows::kSkyraProvider;

StatusResult Status(HRESULT hr, LONG value) {
    return StatusResult{hr, value};
}

void Line(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

// Owners of the CryptoAPI handles of one member call.
struct Context {
    HCRYPTPROV handle = 0;
    ~Context() {
        if (handle != 0)
            CryptReleaseContext(handle, 0);
    }
    bool Acquire(const char* container, DWORD flags = 0) {
        return CryptAcquireContextA(&handle, container, kProvider, PROV_RSA_FULL, flags) != FALSE;
    }
};
struct Key {
    HCRYPTKEY handle = 0;
    ~Key() {
        if (handle != 0)
            CryptDestroyKey(handle);
    }
};
struct Hash {
    HCRYPTHASH handle = 0;
    ~Hash() {
        if (handle != 0)
            CryptDestroyHash(handle);
    }
};

// The ANSI bytes of a text; with its terminating zero byte when asked (the QX_ signature covers
// it).
std::string Ansi(TextIn text, bool withTerminator) {
    std::string bytes = certflows::toAnsi(kCodePage, text);
    if (withTerminator)
        bytes.push_back('\0');
    return bytes;
}

} // namespace

TextResult CEnrolment::Text(const char* ansi) const {
    return TextResult{S_OK, certflows::fromAnsi(kCodePage, ansi)};
}

StatusResult CEnrolment::IsOnline() {
    state_.pendingKey = false;
    state_.containerCount = 0;
    state_.exportedKeyLength = 0;
    state_.enrolHashText[0] = '\0';
    state_.enrolSignatureText[0] = '\0';

    {
        Context provider;
        if (!provider.Acquire(nullptr))
            return Status(S_FALSE, certflows::kStatusFailed);
        Line("A new key container has been created.\n");
        Key key;
        if (!CryptGetUserKey(provider.handle, AT_SIGNATURE, &key.handle))
            return Status(S_FALSE, certflows::kStatusFailed);
        Line("The signature key has been acquired. \n");

        // Bounded by the list and by the enumeration's call limit: a token with more containers
        // has the rest ignored, and a provider that never ends its list cannot hold the call.
        certflows::enumerateContainers(provider.handle, kEnrolContainerNameSize, [this](const char* name) {
            memcpy(state_.keyContainers[state_.containerCount], name, strlen(name) + 1);
            ++state_.containerCount;
            return state_.containerCount < kEnrolContainerCount;
        });
    }

    for (DWORD i = 0; i < state_.containerCount; ++i) {
        Context container;
        Key key;
        if (!container.Acquire(state_.keyContainers[i]) ||
            !CryptGetUserKey(container.handle, AT_SIGNATURE, &key.handle))
            return Status(S_FALSE, certflows::kStatusFailed);
        DWORD length = 0;
        if (!CryptGetKeyParam(key.handle, KP_CERTIFICATE, nullptr, &length, 0)) {
            state_.pendingKey = true;
            certflows::copyNameCut(kCodePage, state_.keyContainers[i], state_.pendingContainer,
                                   sizeof state_.pendingContainer);
            break;
        }
    }
    return Status(S_OK, state_.pendingKey ? certflows::kStatusOk : certflows::kStatusFailed);
}

StatusResult CEnrolment::GeneralRSAKey() {
    if (state_.pendingKey)
        return Status(S_FALSE, certflows::kStatusPrecondition);
    {
        Context provider;
        if (!provider.Acquire(nullptr, CRYPT_NEWKEYSET))
            return Status(S_FALSE, certflows::kStatusPrecondition);
        Key key;
        if (!CryptGenKey(provider.handle, AT_SIGNATURE, 0, &key.handle))
            return Status(S_FALSE, certflows::kStatusPrecondition);
    }
    const StatusResult online = IsOnline();
    if (online.value == certflows::kStatusOk)
        return Status(S_OK, certflows::kStatusOk);
    return Status(S_FALSE, certflows::kStatusPrecondition);
}

TextResult CEnrolment::ExportPubKey() {
    const TextResult failed{S_FALSE, std::u16string(u"FALSE")};
    if (!state_.pendingKey)
        return failed;
    Context container;
    Key key;
    if (!container.Acquire(state_.pendingContainer) ||
        !CryptGetUserKey(container.handle, AT_SIGNATURE, &key.handle))
        return failed;
    Line("The signature key has been acquired. \n");
    DWORD length = 0;
    if (!CryptExportKey(key.handle, 0, PUBLICKEYBLOB, 0, nullptr, &length))
        return failed;
    Line("The keyinfo success ");
    // The store holds a 4096-bit key's blob; a longer one is refused rather than cut.
    if (length == 0 || length > sizeof state_.exportedKey)
        return failed;
    BYTE blob[kExportedKeySize];
    DWORD written = length;
    if (!CryptExportKey(key.handle, 0, PUBLICKEYBLOB, 0, blob, &written) || written > sizeof blob)
        return failed;
    memcpy(state_.exportedKey, blob, written);
    state_.exportedKeyLength = written;
    return Text(certflows::hexText(state_.exportedKey, written).c_str());
}

TextResult CEnrolment::GetContainName() {
    if (!state_.pendingKey)
        return TextResult{S_FALSE, std::u16string(u"FALSE")};
    return Text(state_.pendingContainer);
}

StatusResult CEnrolment::HashResult(TextIn data) {
    state_.enrolHashText[0] = '\0';
    Context container;
    if (!container.Acquire(state_.pendingContainer))
        return Status(S_FALSE, certflows::kStatusPrecondition);
    const std::string bytes = Ansi(data, false);
    Hash hash;
    BYTE value[64];
    DWORD length = sizeof value;
    if (!CryptCreateHash(container.handle, CALG_MD5, 0, 0, &hash.handle) ||
        !CryptHashData(hash.handle, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()), 0) ||
        !CryptGetHashParam(hash.handle, HP_HASHVAL, nullptr, &length, 0) || length > sizeof value ||
        !CryptGetHashParam(hash.handle, HP_HASHVAL, value, &length, 0))
        return Status(S_OK, certflows::kStatusFailed);
    if (!certflows::copyWhole(certflows::hexText(value, length), state_.enrolHashText,
                              sizeof state_.enrolHashText))
        return Status(S_OK, certflows::kStatusFailed);
    return Status(S_OK, certflows::kStatusOk);
}

TextResult CEnrolment::GetHashResult() {
    return Text(state_.enrolHashText);
}

StatusResult CEnrolment::SignResult(TextIn plainText) {
    state_.enrolSignatureText[0] = '\0';
    const StatusResult failed = Status(S_FALSE, certflows::kStatusFailed);
    if (!state_.pendingKey)
        return failed;
    Context container;
    Key key;
    Hash hash;
    if (!container.Acquire(state_.pendingContainer) ||
        !CryptGetUserKey(container.handle, AT_SIGNATURE, &key.handle) ||
        !CryptCreateHash(container.handle, CALG_MD5, 0, 0, &hash.handle))
        return failed;
    const std::string bytes = Ansi(plainText, true);
    if (!CryptHashData(hash.handle, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()), 0))
        return failed;
    DWORD length = 0;
    if (!CryptSignHashA(hash.handle, AT_SIGNATURE, nullptr, 0, nullptr, &length))
        return failed;
    printf("Signature length %d found.\n", static_cast<int>(length));
    fflush(stdout);
    // The text store holds a 4096-bit signature; the provider's length is checked before use.
    if (length == 0 || 2 * static_cast<size_t>(length) + 1 > sizeof state_.enrolSignatureText)
        return failed;
    certflows::Bytes signature(length);
    Line("Memory allocated for the signature.\n");
    if (!CryptSignHashA(hash.handle, AT_SIGNATURE, nullptr, 0, signature.data(), &length) ||
        length > signature.size())
        return failed;
    signature.resize(length);
    // Kept in CryptoAPI order (least significant byte first), as QX_VerifyResult takes it back.
    if (!certflows::copyWhole(certflows::hexText(signature), state_.enrolSignatureText,
                              sizeof state_.enrolSignatureText))
        return failed;
    return Status(S_OK, certflows::kStatusOk);
}

TextResult CEnrolment::GetSignResult() {
    return Text(state_.enrolSignatureText);
}

StatusResult CEnrolment::VerifyResult(TextIn keyModule, TextIn planText, TextIn sign) {
    if (!keyModule || !planText || !sign)
        return Status(S_FALSE, certflows::kStatusPrecondition);
    const StatusResult failed = Status(S_FALSE, certflows::kStatusFailed);
    const certflows::Bytes blob = certflows::hexDecode(certflows::toAnsi(kCodePage, keyModule));
    const certflows::Bytes signature = certflows::hexDecode(certflows::toAnsi(kCodePage, sign));
    Context container;
    if (!container.Acquire(state_.pendingContainer))
        return failed;
    Key key;
    if (!CryptImportKey(container.handle, blob.data(), static_cast<DWORD>(blob.size()), 0, 0,
                        &key.handle))
        return failed;
    Line("The key has been imported.\n");
    Hash hash;
    if (!CryptCreateHash(container.handle, CALG_MD5, 0, 0, &hash.handle))
        return failed;
    Line("The hash object has been recreated. \n");
    const std::string bytes = Ansi(planText, true);
    if (!CryptHashData(hash.handle, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()), 0))
        return failed;
    Line("The new hash has been created.\n");
    if (!CryptVerifySignatureA(hash.handle, signature.data(), static_cast<DWORD>(signature.size()),
                               key.handle, nullptr, 0))
        return failed;
    Line("The signature has been verified.\n");
    return Status(S_OK, certflows::kStatusOk);
}

StatusResult CEnrolment::DeleteRSAKey(TextIn containerName) {
    if (!containerName)
        return Status(S_FALSE, certflows::kStatusFailed);
    const std::string name = certflows::toAnsi(kCodePage, containerName);
    HCRYPTPROV unused = 0;
    if (!CryptAcquireContextA(&unused, name.c_str(), kProvider, PROV_RSA_FULL, CRYPT_DELETEKEYSET))
        return Status(S_FALSE, certflows::kStatusFailed);
    return Status(S_OK, certflows::kStatusOk);
}
