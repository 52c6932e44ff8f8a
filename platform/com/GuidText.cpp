// GUID text in Windows' braces form, the task allocator that StringFromCLSID's result comes
// from, and CoCreateGuid.
#include "platform/com/GuidText.h"

#include "platform/Guid.h"

#include <objbase.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kTextLength = 38; // "{8-4-4-4-12}"

int hexValue(char32_t c) {
    if (c >= '0' && c <= '9')
        return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f')
        return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return static_cast<int>(c - 'A' + 10);
    return -1;
}

// Parses the braces form from any character sequence (char or OLECHAR).
template <typename Char> std::optional<GUID> parseGuid(const Char* text, size_t length) {
    if (length != kTextLength || text[0] != '{' || text[kTextLength - 1] != '}')
        return std::nullopt;
    // Positions of the hyphens; every other inner position is a hex digit.
    constexpr size_t hyphens[] = {9, 14, 19, 24};
    std::uint8_t bytes[16];
    size_t byteCount = 0;
    int pending = -1;
    for (size_t i = 1; i < kTextLength - 1; ++i) {
        const char32_t c = static_cast<char32_t>(text[i]);
        if (i == hyphens[0] || i == hyphens[1] || i == hyphens[2] || i == hyphens[3]) {
            if (c != '-')
                return std::nullopt;
            continue;
        }
        const int digit = hexValue(c);
        if (digit < 0)
            return std::nullopt;
        if (pending < 0) {
            pending = digit;
        } else {
            bytes[byteCount++] = static_cast<std::uint8_t>(pending << 4 | digit);
            pending = -1;
        }
    }
    // The text gives Data1 to Data3 most significant byte first.
    GUID guid;
    guid.Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 |
                 static_cast<std::uint32_t>(bytes[1]) << 16 |
                 static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
    guid.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    guid.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = bytes[8 + i];
    return guid;
}

void formatGuid(const GUID& guid, char (&text)[kTextLength + 1]) {
    const auto& d = guid.Data4;
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                  static_cast<unsigned>(guid.Data3), d[0], d[1], d[2], d[3], d[4], d[5], d[6],
                  d[7]);
}

size_t boundedLength(const OLECHAR* text) {
    // Never reads past one character more than a well-formed text has.
    size_t length = 0;
    while (length <= kTextLength && text[length] != 0)
        ++length;
    return length;
}

HRESULT guidFromOleText(LPCOLESTR text, GUID* guid, HRESULT malformed) {
    if (text == nullptr || guid == nullptr)
        return E_INVALIDARG;
    const auto parsed = parseGuid(text, boundedLength(text));
    if (!parsed)
        return malformed;
    *guid = *parsed;
    return S_OK;
}

HRESULT allocatedText(REFGUID guid, LPOLESTR* text) {
    if (text == nullptr)
        return E_INVALIDARG;
    *text = static_cast<LPOLESTR>(CoTaskMemAlloc((kTextLength + 1) * sizeof(OLECHAR)));
    if (*text == nullptr)
        return E_OUTOFMEMORY;
    StringFromGUID2(guid, *text, kTextLength + 1);
    return S_OK;
}

} // namespace

namespace platform {

std::string guidToText(const GUID& guid) {
    char text[kTextLength + 1];
    formatGuid(guid, text);
    return std::string(text, kTextLength);
}

std::optional<GUID> guidFromText(std::string_view text) {
    return parseGuid(text.data(), text.size());
}

} // namespace platform

extern "C" {

HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    return guidFromOleText(lpsz, pclsid, CO_E_CLASSSTRING);
}

HRESULT STDAPICALLTYPE IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    return guidFromOleText(lpsz, lpiid, E_INVALIDARG);
}

int STDAPICALLTYPE StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (lpsz == nullptr || cchMax < static_cast<int>(kTextLength + 1))
        return 0;
    char text[kTextLength + 1];
    formatGuid(rguid, text);
    for (size_t i = 0; i <= kTextLength; ++i)
        lpsz[i] = static_cast<OLECHAR>(text[i]);
    return static_cast<int>(kTextLength + 1);
}

HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    return allocatedText(rclsid, lplpsz);
}

HRESULT STDAPICALLTYPE StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) {
    return allocatedText(rclsid, lplpsz);
}

HRESULT STDAPICALLTYPE CoCreateGuid(GUID* pguid) {
    if (pguid == nullptr)
        return E_INVALIDARG;
    const platform::Guid fresh = platform::newGuid();
    pguid->Data1 = fresh.data1;
    pguid->Data2 = fresh.data2;
    pguid->Data3 = fresh.data3;
    for (size_t i = 0; i < fresh.data4.size(); ++i)
        pguid->Data4[i] = fresh.data4[i];
    return S_OK;
}

LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb) {
    // A zero-byte request still gives a pointer that CoTaskMemFree accepts, as on Windows.
    return std::malloc(cb == 0 ? 1 : cb);
}

LPVOID STDAPICALLTYPE CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    return std::realloc(pv, cb == 0 ? 1 : cb);
}

void STDAPICALLTYPE CoTaskMemFree(LPVOID pv) {
    std::free(pv);
}

} // extern "C"
