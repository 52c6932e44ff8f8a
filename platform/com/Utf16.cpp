#include "platform/com/Utf16.h"

#include <oleauto.h>

#include <algorithm>
#include <climits>
#include <new>

namespace platform {

namespace {

// The conversions of the kernel32 subset in pieces no larger than an int count.
constexpr size_t kPiece = INT_MAX / 4;

} // namespace

std::u16string utf16FromUtf8(std::string_view text) {
    std::u16string out;
    while (!text.empty()) {
        // Cut only before a lead byte, so no sequence is split between pieces.
        size_t size = std::min(text.size(), kPiece);
        while (size < text.size() && size > 0 &&
               (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80)
            --size;
        if (size == 0)
            size = std::min(text.size(), kPiece);
        const int count =
            MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(size), nullptr, 0);
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(count));
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(size), out.data() + at,
                            count);
        text.remove_prefix(size);
    }
    return out;
}

std::string utf8FromUtf16(std::u16string_view text) {
    std::string out;
    while (!text.empty()) {
        size_t size = std::min(text.size(), kPiece);
        // Keep a surrogate pair together.
        if (size < text.size() && text[size - 1] >= 0xD800 && text[size - 1] <= 0xDBFF)
            --size;
        if (size == 0)
            size = 1;
        const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(size),
                                              nullptr, 0, nullptr, nullptr);
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(count));
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(size), out.data() + at, count,
                            nullptr, nullptr);
        text.remove_prefix(size);
    }
    return out;
}

std::u16string_view bstrView(BSTR bstr) {
    if (bstr == nullptr)
        return {};
    return std::u16string_view(bstr, SysStringLen(bstr));
}

BSTR bstrFromUtf16(std::u16string_view text) {
    if (text.size() > UINT_MAX)
        return nullptr;
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

BSTR bstrFromUtf8(std::string_view text) {
    try {
        return bstrFromUtf16(utf16FromUtf8(text));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace platform
