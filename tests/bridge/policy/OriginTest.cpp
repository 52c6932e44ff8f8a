#include "bridge/policy/Origin.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using bridge::policy::approvable;
using bridge::policy::hostAllowed;
using bridge::policy::normalizeOrigin;

TEST(Origin, NormalizesSchemeHostAndDefaultPorts) {
    EXPECT_EQ(normalizeOrigin("https://a.b:443"), "https://a.b");
    EXPECT_EQ(normalizeOrigin("http://a.b:80"), "http://a.b");
    EXPECT_EQ(normalizeOrigin("HTTPS://Bank.Example"), "https://bank.example");
    EXPECT_EQ(normalizeOrigin("http://a.b:443"), "http://a.b:443");
    EXPECT_EQ(normalizeOrigin("https://a.b:8443"), "https://a.b:8443");
    EXPECT_EQ(normalizeOrigin("http://[0:0:0:0:0:0:0:1]:8080"), "http://[::1]:8080");
    EXPECT_EQ(normalizeOrigin("http://[::FFFF:7f00:1]"), "http://[::ffff:127.0.0.1]");
}

TEST(Origin, RefusesAnythingButSchemeHostAndPort) {
    for (const char* bad : {"", "null", "https://", "https//a.b", "://a.b", "1http://a.b",
                            "https://a.b/", "https://a.b/path", "https://a.b?q", "https://a.b#f",
                            "https://user@a.b", "https://user:pw@a.b", "https://a.b:",
                            "https://a.b:0", "https://a.b:65536", "https://a.b:+1", "https://a.b:1x",
                            "https://a..b", "https://.a.b", "https://a.b.", "https://a b",
                            " https://a.b", "https://a.b ", "https://a.b\r\n", "http://[::1",
                            "http://[::1]x", "http://[fe80::1%eth0]", "http://[1.2.3.4]",
                            "http://a\\b", "http://a%2eb"})
        EXPECT_EQ(normalizeOrigin(bad), std::nullopt) << bad;
    std::string longest = "https://" + std::string(247, 'a');
    EXPECT_EQ(longest.size(), 255u);
    EXPECT_EQ(normalizeOrigin(longest), longest);
    EXPECT_EQ(normalizeOrigin(longest + "a"), std::nullopt);
}

TEST(Origin, OnlyHttpsAndLoopbackHttpAreApprovable) {
    for (const char* good : {"https://a.b", "https://127.0.0.1.nip.io", "http://127.0.0.1",
                             "http://127.0.0.1:8000", "http://localhost:3000", "http://[::1]:8080"})
        EXPECT_TRUE(approvable(good)) << good;
    for (const char* bad : {"http://a.b", "http://localhost.evil.com", "http://127.0.0.1.nip.io",
                            "http://127.1", "http://[::ffff:127.0.0.1]", "http://evil.localhost",
                            "ftp://localhost", "chrome-extension://abc", "file://localhost",
                            // Not normalized: whoever passes these skipped normalizeOrigin.
                            "HTTPS://a.b", "https://a.b:443", "https://user@a.b", ""})
        EXPECT_FALSE(approvable(bad)) << bad;
}

TEST(Origin, HostMustBeLoopbackWithOurPort) {
    for (const char* good : {"127.0.0.1:28561", "[::1]:28561", "localhost:28561", "LocalHost:28561"})
        EXPECT_TRUE(hostAllowed(good, 28561)) << good;
    for (const char* bad : {"127.0.0.1", "localhost", "[::1]", ":28561", "127.0.0.1:28562",
                            "127.0.0.1:028561", "127.0.0.1:28561.evil", "127.0.0.1:28561 ",
                            "evil.com:28561", "localhost.evil.com:28561", "127.0.0.2:28561",
                            "0.0.0.0:28561", "::1:28561", "[::1]x:28561", "user@localhost:28561", ""})
        EXPECT_FALSE(hostAllowed(bad, 28561)) << bad;
    EXPECT_FALSE(hostAllowed("127.0.0.1:0", 0));
}

TEST(Origin, AllowListIsNormalizedAndReportsMalformedEntries) {
    std::vector<std::string> malformed;
    const auto list = bridge::policy::parseAllowList(
        " http://Test.Example:80 ,,https://a.b/,https://c.d:443, http://test.example", &malformed);
    EXPECT_EQ(list, (std::vector<std::string>{"http://test.example", "https://c.d"}));
    EXPECT_EQ(malformed, (std::vector<std::string>{"https://a.b/"}));

    setenv("KORVAN_BRIDGE_ALLOW", "http://a.test:9000", 1);
    EXPECT_EQ(bridge::policy::allowListFromEnvironment(), (std::vector<std::string>{"http://a.test:9000"}));
    unsetenv("KORVAN_BRIDGE_ALLOW");
    EXPECT_TRUE(bridge::policy::allowListFromEnvironment().empty());
}

} // namespace
