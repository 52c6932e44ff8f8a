// The CryptoAPI output conventions shared by every provider call that returns bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace providers {

using Bytes = std::vector<BYTE>;

// Writes `value` the CryptoAPI way. A null pcbData is ERROR_INVALID_PARAMETER. A null pbData
// asks for the size: *pcbData = size and success. A buffer shorter than the value leaves the
// buffer alone, sets *pcbData = size and fails with ERROR_MORE_DATA. Otherwise the value is
// copied and *pcbData = size.
void copyOut(std::span<const BYTE> value, BYTE* pbData, DWORD* pcbData);
void copyOutDword(DWORD value, BYTE* pbData, DWORD* pcbData);
// A text with its terminating zero, as PP_NAME and PP_CONTAINER answer.
void copyOutText(std::string_view text, BYTE* pbData, DWORD* pcbData);

// CryptoAPI gives signatures, ciphertexts and blob moduli least significant byte first; PKCS#1
// and OpenSSL use the opposite order.
Bytes reversedBytes(std::span<const BYTE> bytes);

// Bounded views of caller memory: a null pointer with a non-zero length is refused with
// ERROR_INVALID_PARAMETER instead of being dereferenced.
std::span<const BYTE> inputBytes(const BYTE* data, DWORD length);

} // namespace providers
