// Texts from outside (a token, a certificate, a web page) made safe to show in a prompt line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace providers::token {

// `text` as valid UTF-8 without the code points that hide, reorder or break the line around
// them (general categories Cc, Cf, Zl, Zp, Co and Cn): malformed bytes are dropped. Longer than
// `limit` bytes, it is cut at a character boundary and ends with U+2026 within the limit.
std::string promptText(std::string_view text, std::size_t limit);

// An origin "scheme://host[:port]" as promptText with every host label that is not ASCII shown
// as its A-label ("xn--..."), so that look-alike letters cannot pass for a known name. ASCII
// letters of the host are lower-cased; a bracketed IPv6 host and anything after the host stay.
std::string promptOrigin(std::string_view origin, std::size_t limit = 255);

// The RFC 3492 encoding of `label` (without the "xn--" prefix); nullopt when it overflows.
std::optional<std::string> punycode(std::u32string_view label);

} // namespace providers::token
