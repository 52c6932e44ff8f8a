// Web origins as pages send them, and the Host names the bridge answers to.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge::policy {

// The longest Origin header value accepted.
inline constexpr std::size_t kMaxOriginLength = 255;

// "scheme://host[:port]" with scheme and host lower-cased, an IPv6 host in brackets in its
// canonical form and the scheme's default port (http 80, https 443) dropped. Nullopt for an
// empty value, "null", anything longer than kMaxOriginLength, and anything with a path, query,
// fragment, user name, white space or other trailing text.
std::optional<std::string> normalizeOrigin(std::string_view headerValue);

// True for a normalized https origin, and for http on 127.0.0.1, [::1] or localhost: only these
// may be offered to the user for approval.
bool approvable(const std::string& origin);

// True only for "127.0.0.1:PORT", "[::1]:PORT" or "localhost:PORT" (host without regard to case)
// with PORT the bridge's own. Any other Host may be a rebound DNS name.
bool hostAllowed(std::string_view hostHeader, int port);

// Origins separated by commas, each normalized; empty and malformed entries are left out and,
// when `malformed` is given, appended to it as written.
std::vector<std::string> parseAllowList(std::string_view text,
                                        std::vector<std::string>* malformed = nullptr);

// parseAllowList of KORVAN_BRIDGE_ALLOW; empty when it is not set.
std::vector<std::string> allowListFromEnvironment(std::vector<std::string>* malformed = nullptr);

} // namespace bridge::policy
