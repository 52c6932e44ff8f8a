#include "bridge/server/PageScript.h"

namespace bridge::server {
namespace {

constexpr std::string_view kUnpinnedPath = "/korvan/activex.js";
constexpr std::string_view kPinnedPrefix = "/korvan/v1/activex-";
constexpr std::string_view kPinnedSuffix = ".js";
constexpr std::size_t kHexDigits = 96;

std::string pinnedPath(const ReleasedScript& script) {
    return std::string(kPinnedPrefix).append(script.sha384Hex).append(kPinnedSuffix);
}

} // namespace

std::string_view pageScript() {
    return newestScript().text;
}

std::optional<std::string_view> pageScriptAt(std::string_view path) {
    if (path == kUnpinnedPath)
        return pageScript();
    // Only the exact spelling: the hash is compared as the release names it, never folded.
    if (path.size() != kPinnedPrefix.size() + kHexDigits + kPinnedSuffix.size() ||
        !path.starts_with(kPinnedPrefix) || !path.ends_with(kPinnedSuffix))
        return std::nullopt;
    const std::string_view hash = path.substr(kPinnedPrefix.size(), kHexDigits);
    for (const ReleasedScript& script : releasedScripts()) {
        if (script.sha384Hex == hash)
            return script.text;
    }
    return std::nullopt;
}

std::string includeLine(int port) {
    const ReleasedScript& newest = newestScript();
    return std::string(R"(<script src="http://127.0.0.1:)")
        .append(std::to_string(port))
        .append(pinnedPath(newest))
        .append(R"(" integrity=")")
        .append(newest.integrity)
        .append(R"(" crossorigin="anonymous"></script>)");
}

} // namespace bridge::server
