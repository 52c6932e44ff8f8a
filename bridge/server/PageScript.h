// The script pages include (bridge/activex.js), compiled into the program.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bridge::server {

std::string_view pageScript();

// The script served at a request path; nullopt when no script lives there.
std::optional<std::string_view> pageScriptAt(std::string_view path);

// The <script> line a page includes to load the newest script from the bridge on `port`.
std::string includeLine(int port);

} // namespace bridge::server
