// CryptByPukey and DecryByPrikey below the COM layer, over a recording stand-in for the few
// CryptoAPI calls they make: the call order and flags, the one decryption retry, and the
// bounds on what a provider hands back.
#include "KeyCrypt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Calls {
    std::string provider;
    std::string container;
    DWORD acquireFlags = 0;
    bool refuseAcquire = false;
    int decryptFailures = 0; // how many decryptions fail before one succeeds
    int decrypts = 0;
    std::vector<BYTE> plain;         // what a successful decryption writes
    DWORD reportedLength = 0;        // the length it reports (0: plain.size())
    std::vector<std::pair<bool, DWORD>> encrypts; // (buffer given, *pdwDataLen on entry)
    std::vector<DWORD> encryptBufferLengths;
    int liveHandles = 0;
};

Calls calls;

} // namespace

extern "C" {

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR container, LPCSTR provider, DWORD, DWORD flags) {
    calls.provider = provider ? provider : "";
    calls.container = container ? container : "-";
    calls.acquireFlags = flags;
    if (calls.refuseAcquire)
        return FALSE;
    *phProv = 1;
    ++calls.liveHandles;
    return TRUE;
}
BOOL WINAPI CryptReleaseContext(HCRYPTPROV, DWORD) {
    --calls.liveHandles;
    return TRUE;
}
BOOL WINAPI CryptGetUserKey(HCRYPTPROV, DWORD keyKind, HCRYPTKEY* key) {
    if (keyKind != AT_SIGNATURE)
        return FALSE;
    *key = 2;
    ++calls.liveHandles;
    return TRUE;
}
BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV, DWORD, PCERT_PUBLIC_KEY_INFO, HCRYPTKEY* key) {
    *key = 3;
    ++calls.liveHandles;
    return TRUE;
}
BOOL WINAPI CryptDestroyKey(HCRYPTKEY) {
    --calls.liveHandles;
    return TRUE;
}
BOOL WINAPI CryptEncrypt(HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE* data, DWORD* dataLength, DWORD bufferLength) {
    calls.encrypts.emplace_back(data != nullptr, *dataLength);
    calls.encryptBufferLengths.push_back(bufferLength);
    if (data == nullptr) {
        *dataLength = 4;
        return TRUE;
    }
    if (bufferLength < 4)
        return FALSE;
    // Least significant byte first, as the provider gives it: the control must not reorder.
    const BYTE cipher[] = {0x01, 0x02, 0x03, 0xFF};
    std::memcpy(data, cipher, sizeof cipher);
    *dataLength = sizeof cipher;
    return TRUE;
}
BOOL WINAPI CryptDecrypt(HCRYPTKEY, HCRYPTHASH, BOOL, DWORD, BYTE* data, DWORD* dataLength) {
    ++calls.decrypts;
    if (calls.decrypts <= calls.decryptFailures)
        return FALSE;
    const size_t n = std::min<size_t>(calls.plain.size(), *dataLength);
    std::memcpy(data, calls.plain.data(), n);
    *dataLength = calls.reportedLength ? calls.reportedLength : static_cast<DWORD>(calls.plain.size());
    return TRUE;
}

} // extern "C"

namespace {

class KeyCryptSteps : public ::testing::Test {
protected:
    void SetUp() override {
        calls = Calls{};
        std::strcpy(state_.containerNames[0], "first");
        std::strcpy(state_.containerNames[1], "second");
        state_.chosenIndex = 1;
    }
    void TearDown() override { EXPECT_EQ(calls.liveHandles, 0); }

    std::u16string decrypt(const std::u16string& text) {
        const certflows::TextResult result = meridia::DecryByPrikey(state_, std::u16string_view(text));
        EXPECT_EQ(result.hr, S_OK);
        return result.value.value_or(u"<no value>");
    }

    // 400 bytes of Base64 input, enough room for anything decrypted.
    const std::u16string cipherText_ = std::u16string(532, u'A');
    certflows::CertFamilyState state_;
};

TEST_F(KeyCryptSteps, DecryptionOpensTheChosenContainerSilentlyAndRetriesOnce) {
    calls.plain = {'o', 'k'};
    calls.decryptFailures = 1;
    EXPECT_EQ(decrypt(cipherText_), u"ok");
    EXPECT_EQ(calls.provider, certflows::kMeridiaProvider);
    EXPECT_EQ(calls.container, "second");
    EXPECT_EQ(calls.acquireFlags, CRYPT_SILENT);
    EXPECT_EQ(calls.decrypts, 2);

    calls = Calls{};
    calls.decryptFailures = 2;
    EXPECT_EQ(decrypt(cipherText_), u"FALSE");
    EXPECT_EQ(calls.decrypts, 2);

    calls = Calls{};
    calls.refuseAcquire = true;
    EXPECT_EQ(decrypt(cipherText_), u"FALSE");
    EXPECT_EQ(calls.decrypts, 0);
}

TEST_F(KeyCryptSteps, DecryptedTextEndsAtAZeroByteAndNeverExceedsTheLimit) {
    calls.plain = {'a', 'b', 0, 'c'};
    EXPECT_EQ(decrypt(cipherText_), u"ab");

    calls = Calls{};
    calls.plain.assign(399, 'x');
    EXPECT_EQ(decrypt(cipherText_), std::u16string(meridia::kDecryptedTextLimit, u'x'));

    // A provider that reports more than the buffer holds is not believed.
    calls = Calls{};
    calls.plain = {'s', 'h', 'o', 'r', 't'};
    calls.reportedLength = 100000;
    EXPECT_EQ(decrypt(u"AAAA"), u"sho");
}

TEST_F(KeyCryptSteps, EncryptionAsksForTheLengthFirstAndKeepsTheProvidersByteOrder) {
    const certflows::TextResult result = meridia::CryptByPukey(std::u16string_view(u"abc"),
                                                               std::u16string_view(u"30030201"));
    EXPECT_EQ(result.hr, S_OK);
    EXPECT_EQ(result.value, u"AQID/w==");
    ASSERT_EQ(calls.encrypts.size(), 2u);
    EXPECT_EQ(calls.encrypts[0], (std::pair<bool, DWORD>{false, 3}));
    EXPECT_EQ(calls.encrypts[1], (std::pair<bool, DWORD>{true, 3}));
    EXPECT_EQ(calls.encryptBufferLengths[1], 4u);
    EXPECT_EQ(calls.provider, "");
    EXPECT_EQ(calls.container, "-");
    EXPECT_EQ(calls.acquireFlags, 0u);
}

} // namespace
