#pragma once

#include "softtoken/store/TokenStore.h"

#include <optional>

namespace softtoken::store {

// Stable attribute encoding: u32 count, then per attribute u64 type, u32
// length and the value bytes; all numbers little-endian.
inline constexpr std::size_t kAttributeHeaderLen = 8 + 4;

Bytes serializeAttributes(const Attributes& attributes);
// nullopt when the bytes are not a complete, well-formed encoding.
std::optional<Attributes> parseAttributes(const std::uint8_t* data, std::size_t len);

} // namespace softtoken::store
