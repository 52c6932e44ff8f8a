#include "providers/core/Bytes.h"

#include "providers/core/Error.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace providers {

void copyOut(std::span<const BYTE> value, BYTE* pbData, DWORD* pcbData) {
    if (pcbData == nullptr)
        fail(ERROR_INVALID_PARAMETER);
    if (value.size() > std::numeric_limits<DWORD>::max())
        fail(NTE_FAIL);
    const auto size = static_cast<DWORD>(value.size());
    if (pbData == nullptr) {
        *pcbData = size;
        return;
    }
    if (*pcbData < size) {
        *pcbData = size;
        fail(ERROR_MORE_DATA);
    }
    if (size != 0)
        std::memcpy(pbData, value.data(), size);
    *pcbData = size;
}

void copyOutDword(DWORD value, BYTE* pbData, DWORD* pcbData) {
    BYTE bytes[sizeof(DWORD)];
    std::memcpy(bytes, &value, sizeof bytes);
    copyOut(bytes, pbData, pcbData);
}

void copyOutText(std::string_view text, BYTE* pbData, DWORD* pcbData) {
    Bytes bytes(text.begin(), text.end());
    bytes.push_back(0);
    copyOut(bytes, pbData, pcbData);
}

Bytes reversedBytes(std::span<const BYTE> bytes) {
    return Bytes(bytes.rbegin(), bytes.rend());
}

std::span<const BYTE> inputBytes(const BYTE* data, DWORD length) {
    if (length == 0)
        return {};
    if (data == nullptr)
        fail(ERROR_INVALID_PARAMETER);
    return {data, length};
}

} // namespace providers
