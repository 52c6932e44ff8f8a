// Public-key encryption with a given key text and private-key decryption with the chosen
// container's key: the two members of MeridiaCtrl that the shared flows do not have.
#pragma once

#include <controls/CertFlows.h>

namespace meridia {

// The most DecryByPrikey hands back; the rest of a longer plaintext is dropped.
inline constexpr DWORD kDecryptedTextLimit = 300;

// RSA PKCS#1 v1.5 encryption of the ANSI plaintext with `publicKey` (GetKeyModule's text),
// Base64 of the ciphertext in CryptoAPI byte order. Always S_OK; "FALSE" on every failure.
certflows::TextResult CryptByPukey(certflows::TextIn plainText, certflows::TextIn publicKey);

// Decrypts Base64 `cryptText` with the AT_SIGNATURE key of containerNames[chosenIndex] on the
// Meridia provider, opened silently. Always S_OK; "FALSE" on every failure.
certflows::TextResult DecryByPrikey(const certflows::CertFamilyState& state, certflows::TextIn cryptText);

} // namespace meridia
