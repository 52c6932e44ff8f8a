#include "bridge/server/PageScript.h"

namespace bridge::server {

std::optional<std::string_view> pageScriptAt(std::string_view path) {
    if (path == "/korvan/activex.js")
        return pageScript();
    return std::nullopt;
}

std::string includeLine(int port) {
    return std::string(R"(<script src="http://127.0.0.1:)").append(std::to_string(port)).append(R"(/korvan/activex.js"></script>)");
}

} // namespace bridge::server
