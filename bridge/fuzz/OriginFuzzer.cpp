// Fuzzed bytes as an Origin header, a Host header and an allow list. A normalized origin must
// normalize to itself, stay within the bound and hold nothing but the characters of an origin;
// a Host accepted must be one of the three loopback names with the bridge's port.
#include "bridge/policy/Origin.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "bridge_fuzz_origin: %s\n", what);
        std::abort();
    }
}

bool lowerAsciiOnly(std::string_view text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || (c >= 'A' && c <= 'Z'))
            return false;
    }
    return true;
}

bool asciiEqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto origin = bridge::policy::normalizeOrigin(text)) {
        check(!origin->empty() && origin->size() <= bridge::policy::kMaxOriginLength,
              "a normalized origin is empty or too long");
        check(lowerAsciiOnly(*origin), "a normalized origin holds a character no origin has");
        check(origin->find("://") != std::string::npos, "a normalized origin has no scheme");
        const auto again = bridge::policy::normalizeOrigin(*origin);
        check(again && *again == *origin, "normalizing twice changes the origin");
        (void)bridge::policy::approvable(*origin);
    }

    // The port is the first two bytes, so the fuzzer can match the Host's own.
    if (size >= 2) {
        const int port = (data[0] << 8) | data[1];
        const std::string_view host = text.substr(2);
        if (bridge::policy::hostAllowed(host, port)) {
            const std::string suffix = ":" + std::to_string(port);
            check(host.size() > suffix.size() && host.substr(host.size() - suffix.size()) == suffix,
                  "a Host with another port is accepted");
            const std::string_view name = host.substr(0, host.size() - suffix.size());
            check(name == "127.0.0.1" || name == "[::1]" || asciiEqualNoCase(name, "localhost"),
                  "a Host other than a loopback name is accepted");
        }
    }

    std::vector<std::string> malformed;
    for (const std::string& origin : bridge::policy::parseAllowList(text, &malformed)) {
        const auto again = bridge::policy::normalizeOrigin(origin);
        check(again && *again == origin, "an allow-list entry is not a normalized origin");
    }
    return 0;
}
