#include "bridge/policy/Origin.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>

namespace bridge::policy {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool validScheme(std::string_view scheme) {
    if (scheme.empty() || !isAlpha(scheme.front()))
        return false;
    return std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.';
    });
}

// A DNS name or dotted address: labels of letters, digits, '-' and '_', none empty.
bool validRegName(std::string_view host) {
    if (host.empty())
        return false;
    std::size_t label = 0;
    for (char c : host) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
        } else if (isAlpha(c) || isDigit(c) || c == '-' || c == '_') {
            ++label;
        } else {
            return false;
        }
    }
    return label != 0;
}

// The canonical text of a bracketed IPv6 literal; nullopt when it is not one (zone ids refused).
std::optional<std::string> canonicalIpv6(std::string_view inside) {
    if (inside.empty() || inside.size() > INET6_ADDRSTRLEN)
        return std::nullopt;
    const std::string text(inside);
    in6_addr address{};
    if (inet_pton(AF_INET6, text.c_str(), &address) != 1)
        return std::nullopt;
    char out[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET6, &address, out, sizeof out))
        return std::nullopt;
    return std::string("[").append(out).append("]");
}

// 1 to 65535 in decimal; nullopt otherwise.
std::optional<int> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), isDigit))
        return std::nullopt;
    int value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    if (value < 1 || value > 65535)
        return std::nullopt;
    return value;
}

int defaultPort(std::string_view scheme) {
    if (scheme == "http")
        return 80;
    if (scheme == "https")
        return 443;
    return -1;
}

std::string_view trimmed(std::string_view text) {
    const auto space = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && space(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace

std::optional<std::string> normalizeOrigin(std::string_view value) {
    if (value.empty() || value.size() > kMaxOriginLength || value == "null")
        return std::nullopt;
    const std::size_t separator = value.find("://");
    if (separator == std::string_view::npos)
        return std::nullopt;
    const std::string scheme = lowered(value.substr(0, separator));
    if (!validScheme(scheme))
        return std::nullopt;
    const std::string_view authority = value.substr(separator + 3);

    std::string host;
    std::string_view rest;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        const auto canonical = canonicalIpv6(lowered(authority.substr(1, close - 1)));
        if (!canonical)
            return std::nullopt;
        host = *canonical;
        rest = authority.substr(close + 1);
    } else {
        const std::size_t colon = authority.find(':');
        const std::string_view name = authority.substr(0, colon);
        if (!validRegName(name))
            return std::nullopt;
        host = lowered(name);
        rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
    }

    std::string origin = scheme;
    origin.append("://").append(host);
    if (rest.empty())
        return origin;
    if (rest.front() != ':')
        return std::nullopt;
    const auto port = parsePort(rest.substr(1));
    if (!port)
        return std::nullopt;
    if (*port != defaultPort(scheme))
        origin.append(":").append(std::to_string(*port));
    return origin;
}

bool approvable(const std::string& origin) {
    const auto normalized = normalizeOrigin(origin);
    if (!normalized || *normalized != origin)
        return false;
    if (origin.rfind("https://", 0) == 0)
        return true;
    constexpr std::string_view http = "http://";
    if (origin.rfind(http, 0) != 0)
        return false;
    std::string_view host = std::string_view(origin).substr(http.size());
    if (host.front() == '[') {
        host = host.substr(0, host.find(']') + 1);
    } else {
        host = host.substr(0, host.find(':'));
    }
    return host == "127.0.0.1" || host == "[::1]" || host == "localhost";
}

bool hostAllowed(std::string_view hostHeader, int port) {
    if (port < 1 || port > 65535)
        return false;
    const std::size_t colon = hostHeader.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    if (hostHeader.substr(colon + 1) != std::to_string(port))
        return false;
    const std::string host = lowered(hostHeader.substr(0, colon));
    return host == "127.0.0.1" || host == "[::1]" || host == "localhost";
}

std::vector<std::string> parseAllowList(std::string_view text, std::vector<std::string>* malformed) {
    std::vector<std::string> origins;
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (entry.empty())
            continue;
        if (auto origin = normalizeOrigin(entry)) {
            if (std::find(origins.begin(), origins.end(), *origin) == origins.end())
                origins.push_back(std::move(*origin));
        } else if (malformed) {
            malformed->emplace_back(entry);
        }
    }
    return origins;
}

std::vector<std::string> allowListFromEnvironment(std::vector<std::string>* malformed) {
    const char* value = std::getenv("KORVAN_BRIDGE_ALLOW");
    return value ? parseAllowList(value, malformed) : std::vector<std::string>();
}

} // namespace bridge::policy
