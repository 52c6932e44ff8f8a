// Text forms of the signing controls: hex text and its lenient decoding, byte reversal, Base64
// (RFC 4648), ANSI conversion with a chosen code page, and the RSA public key record.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace certflows {

using Bytes = std::vector<BYTE>;

// Upper-case hex, two characters per byte, no separators.
std::string hexText(const BYTE* data, size_t length);
inline std::string hexText(const Bytes& data) { return hexText(data.data(), data.size()); }

// Pairs of characters; "0"-"9" are 0-9, letters of either case 10-35, any other character its
// own code; a pair is (first * 16 + second) mod 256; a last unpaired character is ignored.
Bytes hexDecode(std::string_view text);

Bytes reversed(Bytes bytes);

// The validity test: length a multiple of 4, alphabet characters only except "=" in the last
// two places, and a "=" in the second-to-last place followed by "=".
bool base64Valid(std::string_view text);
std::string base64Encode(const BYTE* data, size_t length);
inline std::string base64Encode(const Bytes& data) { return base64Encode(data.data(), data.size()); }
// Only for text that passed base64Valid; std::nullopt otherwise.
std::optional<Bytes> base64Decode(std::string_view text);

// The ANSI bytes of a UTF-16 text under `codePage` (no terminator); an absent text is empty.
std::string toAnsi(UINT codePage, std::optional<std::u16string_view> text);
// UTF-16 of zero-terminated ANSI text under `codePage`.
std::u16string fromAnsi(UINT codePage, std::string_view text);

// Copies zero-terminated `source` into `target` of `targetSize` bytes, cutting it at a
// character boundary of `codePage` when it does not fit. Returns false if cut.
bool copyNameCut(UINT codePage, const char* source, char* target, size_t targetSize);
// Copies `text` with its terminator when it fits; false (target untouched) when it does not.
bool copyWhole(std::string_view text, char* target, size_t targetSize);

// A subject public key record for an RSA key: OID 1.2.840.113549.1.1.1, parameters 05 00, the
// bit string holding `key` (whole bytes). The record points into this object.
class RsaPublicKeyRecord {
public:
    explicit RsaPublicKeyRecord(Bytes key);
    RsaPublicKeyRecord(const RsaPublicKeyRecord&) = delete;
    RsaPublicKeyRecord& operator=(const RsaPublicKeyRecord&) = delete;
    CERT_PUBLIC_KEY_INFO* info() { return &info_; }

private:
    Bytes key_;
    char oid_[24];
    BYTE nullParameters_[2] = {0x05, 0x00};
    CERT_PUBLIC_KEY_INFO info_ = {};
};

} // namespace certflows
