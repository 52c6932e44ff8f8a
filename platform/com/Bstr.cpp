// BSTRs as Windows lays them out: a 4-byte byte length, the UTF-16 characters, then a zero
// character. The pointer handed out is the first character, so a BSTR reads as a
// zero-terminated OLE string and its length, embedded zeros included, lies just before it.
#include <oleauto.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using ByteLength = std::uint32_t;

// Windows refuses BSTRs whose byte length does not fit in 31 bits.
constexpr UINT kMaxByteLength = 0x7FFFFFFFu - sizeof(ByteLength) - sizeof(OLECHAR);

char* blockOf(BSTR bstr) {
    return reinterpret_cast<char*>(bstr) - sizeof(ByteLength);
}

// A BSTR of byteLength bytes, terminated; the bytes are copied from source, or zero when it is
// null. Null when the length is too large or memory runs out.
BSTR allocate(const void* source, UINT byteLength) {
    if (byteLength > kMaxByteLength)
        return nullptr;
    // Room for a whole terminating character even after an odd byte length.
    const size_t total = sizeof(ByteLength) + byteLength + 2 * sizeof(OLECHAR);
    char* block = static_cast<char*>(std::malloc(total));
    if (block == nullptr)
        return nullptr;
    const ByteLength stored = byteLength;
    std::memcpy(block, &stored, sizeof stored);
    char* text = block + sizeof(ByteLength);
    if (source != nullptr)
        std::memcpy(text, source, byteLength);
    else
        std::memset(text, 0, byteLength);
    std::memset(text + byteLength, 0, 2 * sizeof(OLECHAR));
    return reinterpret_cast<BSTR>(text);
}

size_t oleLength(const OLECHAR* text) {
    return std::char_traits<OLECHAR>::length(text);
}

} // namespace

extern "C" {

BSTR STDAPICALLTYPE SysAllocString(const OLECHAR* psz) {
    if (psz == nullptr)
        return nullptr;
    const size_t length = oleLength(psz);
    if (length > kMaxByteLength / sizeof(OLECHAR))
        return nullptr;
    return allocate(psz, static_cast<UINT>(length * sizeof(OLECHAR)));
}

BSTR STDAPICALLTYPE SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (ui > kMaxByteLength / sizeof(OLECHAR))
        return nullptr;
    return allocate(strIn, ui * static_cast<UINT>(sizeof(OLECHAR)));
}

BSTR STDAPICALLTYPE SysAllocStringByteLen(LPCSTR psz, UINT len) {
    return allocate(psz, len);
}

INT STDAPICALLTYPE SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (pbstr == nullptr)
        return FALSE;
    // The new text may lie inside the old one: copy before freeing.
    BSTR fresh = SysAllocStringLen(psz, len);
    if (fresh == nullptr)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

INT STDAPICALLTYPE SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (pbstr == nullptr)
        return FALSE;
    if (psz == nullptr) {
        SysFreeString(*pbstr);
        *pbstr = nullptr;
        return TRUE;
    }
    const size_t length = oleLength(psz);
    if (length > kMaxByteLength / sizeof(OLECHAR))
        return FALSE;
    return SysReAllocStringLen(pbstr, psz, static_cast<UINT>(length));
}

void STDAPICALLTYPE SysFreeString(BSTR bstrString) {
    if (bstrString != nullptr)
        std::free(blockOf(bstrString));
}

UINT STDAPICALLTYPE SysStringByteLen(BSTR bstr) {
    if (bstr == nullptr)
        return 0;
    ByteLength stored;
    std::memcpy(&stored, blockOf(bstr), sizeof stored);
    return stored;
}

UINT STDAPICALLTYPE SysStringLen(BSTR pbstr) {
    return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}

} // extern "C"
