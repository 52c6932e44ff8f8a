// A bounds-checked reader of DER TLVs, for the fields crypt32 hands out as the exact bytes the
// certificate holds (serial number, names, key parameters, extension values).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace crypto {

enum class DerError { None, BadTag, EndOfData, Corrupt };

struct DerElement {
    BYTE tag = 0;
    const BYTE* start = nullptr; // the whole TLV
    size_t size = 0;
    const BYTE* content = nullptr;
    size_t length = 0;
};

class DerReader {
public:
    DerReader(const BYTE* data, size_t size) : data_(data), end_(data + size) {}

    bool atEnd() const { return data_ == end_; }
    // The next element's tag, or 0 at the end.
    BYTE peekTag() const { return atEnd() ? 0 : *data_; }

    // Reads the next element; with `expected` set, its tag must be that. Only single-byte tags
    // and definite lengths of up to four bytes (what DER certificates use) are accepted.
    DerError next(DerElement& out, int expected = -1) {
        if (atEnd())
            return DerError::EndOfData;
        const BYTE* p = data_;
        const BYTE tag = *p++;
        if ((tag & 0x1F) == 0x1F || (expected >= 0 && tag != expected))
            return DerError::BadTag;
        if (p == end_)
            return DerError::EndOfData;
        size_t length = *p++;
        if (length & 0x80) {
            const size_t count = length & 0x7F;
            if (count == 0 || count > 4)
                return DerError::Corrupt;
            if (static_cast<size_t>(end_ - p) < count)
                return DerError::EndOfData;
            length = 0;
            for (size_t i = 0; i < count; ++i)
                length = (length << 8) | *p++;
            // DER uses the short form below 128 and no leading zero length bytes.
            if (length < 0x80 || (count > 1 && length < (size_t{1} << (8 * (count - 1)))))
                return DerError::Corrupt;
        }
        if (static_cast<size_t>(end_ - p) < length)
            return DerError::EndOfData;
        out.tag = tag;
        out.start = data_;
        out.content = p;
        out.length = length;
        out.size = static_cast<size_t>(p - data_) + length;
        data_ = p + length;
        return DerError::None;
    }

private:
    const BYTE* data_;
    const BYTE* end_;
};

inline constexpr BYTE kDerBoolean = 0x01;
inline constexpr BYTE kDerInteger = 0x02;
inline constexpr BYTE kDerBitString = 0x03;
inline constexpr BYTE kDerOctetString = 0x04;
inline constexpr BYTE kDerObjectId = 0x06;
inline constexpr BYTE kDerSequence = 0x30;
inline constexpr BYTE kDerContext0 = 0xA0;
inline constexpr BYTE kDerContext1Primitive = 0x81;
inline constexpr BYTE kDerContext2Primitive = 0x82;
inline constexpr BYTE kDerContext3 = 0xA3;

} // namespace crypto
