// The scripts pages include, compiled into the program: every release kept in bridge/released/,
// the newest of them being bridge/activex.js.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bridge::server {

// A released script never changes: pages pin it by its hash in their integrity attribute.
struct ReleasedScript {
    std::string_view sha384Hex; // 96 lowercase hex digits
    std::string_view integrity; // "sha384-" and the digest in base64, as pages write it
    std::string_view text;
};

std::span<const ReleasedScript> releasedScripts();
const ReleasedScript& newestScript();

// The newest script's text.
std::string_view pageScript();

// The script served at a request path: the newest at /korvan/activex.js (for pages written
// before scripts were pinned), each release at /korvan/v1/activex-<sha384 hex>.js. nullopt when
// no script lives there.
std::optional<std::string_view> pageScriptAt(std::string_view path);

// The <script> line a page includes to load the newest script from the bridge on `port`, with
// its Subresource Integrity attributes.
std::string includeLine(int port);

} // namespace bridge::server
