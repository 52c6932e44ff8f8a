// Token logins held by the providers a process has loaded, for a host that bounds how long a PIN
// entry lasts. A provider that keeps a login exports the two optional functions below; the
// CryptoAPI layer asks every provider module it has loaded in this process.
#pragma once

#include <windows.h>

extern "C" {

// Provider exports. KorvanCspTakeLogin: TRUE once for each login made since the last take,
// with the milliseconds since the newest one in *msAgo. KorvanCspEndLogin: logs the token out, so
// that the next use asks for the PIN again; TRUE when nothing is left logged in.
typedef BOOL (*PFN_KorvanCspTakeLogin)(DWORD* msAgo);
typedef BOOL (*PFN_KorvanCspEndLogin)();

// The CryptoAPI layer's side: the same questions put to every provider loaded so far.
// korvanTakeProviderLogin: TRUE when any provider logged in since the last take (*msAgo: the
// newest). korvanEndProviderLogins: TRUE when every provider that could be asked logged out.
BOOL korvanTakeProviderLogin(DWORD* msAgo);
BOOL korvanEndProviderLogins();
}

// The layer's library, as a host that does not link it finds it already loaded.
inline constexpr const char* kKorvanCryptLibrary = "libkorvan_crypt.so";
