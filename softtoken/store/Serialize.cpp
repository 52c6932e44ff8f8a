#include "softtoken/store/Serialize.h"

namespace softtoken::store {

namespace {

void putLe(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t getLe(const std::uint8_t* p, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

} // namespace

CK_ULONG objectSize(const Attributes& attributes) {
    CK_ULONG size = 0;
    for (const auto& [type, value] : attributes)
        size += kAttributeHeaderLen + value.size();
    return size;
}

Bytes serializeAttributes(const Attributes& attributes) {
    Bytes out;
    out.reserve(4 + objectSize(attributes));
    putLe(out, attributes.size(), 4);
    for (const auto& [type, value] : attributes) {
        putLe(out, type, 8);
        putLe(out, value.size(), 4);
        out.insert(out.end(), value.begin(), value.end());
    }
    return out;
}

std::optional<Attributes> parseAttributes(const std::uint8_t* data, std::size_t len) {
    if (len < 4)
        return std::nullopt;
    const std::uint64_t count = getLe(data, 4);
    std::size_t pos = 4;
    Attributes attributes;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (len - pos < kAttributeHeaderLen)
            return std::nullopt;
        const auto type = static_cast<CK_ATTRIBUTE_TYPE>(getLe(data + pos, 8));
        const auto valueLen = static_cast<std::size_t>(getLe(data + pos + 8, 4));
        pos += kAttributeHeaderLen;
        if (len - pos < valueLen)
            return std::nullopt;
        attributes[type].assign(data + pos, data + pos + valueLen);
        pos += valueLen;
    }
    if (pos != len || attributes.size() != count)
        return std::nullopt;
    return attributes;
}

} // namespace softtoken::store
