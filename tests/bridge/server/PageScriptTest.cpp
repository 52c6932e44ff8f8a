#include "bridge/server/PageScript.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

using namespace bridge::server;

namespace {

struct Digest {
    std::string hex;
    std::string base64;
};

// Recomputed here rather than trusted from the build, which wrote the hashes the bridge serves.
Digest sha384(std::string_view text) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), md.data(), &length, EVP_sha384(), nullptr), 1);
    Digest digest;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", md[i]);
        digest.hex.append(pair);
    }
    std::array<unsigned char, 4 * EVP_MAX_MD_SIZE / 3 + 4> encoded{};
    const int written = EVP_EncodeBlock(encoded.data(), md.data(), static_cast<int>(length));
    digest.base64.assign(reinterpret_cast<const char*>(encoded.data()),
                         static_cast<std::size_t>(written));
    return digest;
}

std::string pinned(const std::string& hex) {
    return "/korvan/v1/activex-" + hex + ".js";
}

} // namespace

TEST(PageScript, EveryReleaseIsServedAtThePathOfItsOwnHash) {
    ASSERT_FALSE(releasedScripts().empty());
    std::set<std::string_view> hashes;
    bool newestIsReleased = false;
    for (const ReleasedScript& script : releasedScripts()) {
        const Digest digest = sha384(script.text);
        EXPECT_EQ(script.sha384Hex, digest.hex);
        EXPECT_EQ(script.integrity, "sha384-" + digest.base64);
        const auto served = pageScriptAt(pinned(digest.hex));
        ASSERT_TRUE(served) << digest.hex;
        EXPECT_TRUE(*served == script.text) << digest.hex << ": another script's bytes";
        EXPECT_TRUE(hashes.insert(script.sha384Hex).second)
            << "released twice: " << script.sha384Hex;
        newestIsReleased = newestIsReleased || &script == &newestScript();
    }
    EXPECT_TRUE(newestIsReleased);
    // Pages written before scripts were pinned get the newest one.
    const auto unpinned = pageScriptAt("/korvan/activex.js");
    ASSERT_TRUE(unpinned);
    EXPECT_TRUE(*unpinned == newestScript().text);
    EXPECT_FALSE(newestScript().text.empty());
}

TEST(PageScript, UnknownOrMalformedHashPathsServeNothing) {
    const std::string hex = sha384(pageScript()).hex;
    std::string upper = hex;
    for (char& c : upper)
        c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    std::string otherDigit = hex;
    otherDigit.back() = otherDigit.back() == '0' ? '1' : '0';

    const std::vector<std::string> paths = {
        pinned(std::string(96, '0')),    // a hash no release has
        pinned(otherDigit),              // one digit off
        pinned(upper),                   // the same digest, not as the release names it
        pinned(hex.substr(1)),           // one digit short
        pinned(hex + "0"),               // one digit long
        pinned(hex.substr(0, 95) + "g"), // not hex
        "/korvan/v1/activex-" + hex,     // no suffix
        "/korvan/v1/activex-" + hex + ".jsx",
        "/korvan/v1/activex-" + hex + ".js/",
        "/korvan/v2/activex-" + hex + ".js",
        "/korvan/activex-" + hex + ".js",
        "/korvan//v1/activex-" + hex + ".js",
        "/korvan/v1/" + hex + ".js",
        "/korvan/v1/activex.js",
        "/korvan/activex.js/",
        "/korvan/ActiveX.js",
        std::string("/korvan/activex.js\0", 19),
        "",
    };
    for (const std::string& path : paths)
        EXPECT_FALSE(pageScriptAt(path)) << '"' << path << '"';
}

TEST(PageScript, IncludeLinePinsTheNewestScriptWithItsIntegrity) {
    const Digest digest = sha384(pageScript());
    EXPECT_EQ(includeLine(28561), R"(<script src="http://127.0.0.1:28561/korvan/v1/activex-)" +
                                      digest.hex + R"(.js" integrity="sha384-)" + digest.base64 +
                                      R"(" crossorigin="anonymous"></script>)");
    EXPECT_NE(includeLine(40001).find("http://127.0.0.1:40001/korvan/v1/"), std::string::npos);
}
