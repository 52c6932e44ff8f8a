// What the test provider module records about the calls it received, so the routing tests can
// see what reached the provider. FakeProviderState() is exported by the module.
#pragma once

#include <windows.h>

struct FakeProviderLog {
    int acquires = 0;
    int releases = 0;
    // Calls that arrived with a handle the provider never gave out.
    int foreignHandles = 0;
    int liveKeys = 0;
    int liveHashes = 0;
    DWORD version = 0;
    DWORD provType = 0;
    DWORD flags = 0;
    char provName[128] = {};
    char container[128] = {};
    bool containerNull = false;
    BYTE imported[1024] = {};
    DWORD importedLength = 0;
    char16_t description[64] = {};
    bool descriptionNull = true;
};

using FakeProviderStateFn = FakeProviderLog* (*)();

// Containers the provider treats specially.
inline constexpr const char* kRefusedContainer = "refused";     // fails with NTE_BAD_KEYSET
inline constexpr const char* kSilentFailContainer = "mute";     // fails without a last error
// Decrypt input whose first byte is this fails after scribbling over the buffer.
inline constexpr unsigned char kDecryptScribble = 0xFF;
// Decrypt input whose first byte is this claims more output than it was given.
inline constexpr unsigned char kDecryptGrow = 0xFE;
// The fixed sizes of what the provider returns.
inline constexpr DWORD kFakeSignatureLength = 128;
inline constexpr DWORD kFakeHashLength = 16;
inline constexpr DWORD kFakeCertificateLength = 40;
