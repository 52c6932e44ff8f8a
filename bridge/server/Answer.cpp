#include "bridge/server/Answer.h"

namespace bridge::server {

Answer errorAnswer(int status, const std::string& text) {
    return {status, {{"v", 1}, {"ok", false}, {"error", text}}};
}

Answer okAnswer(nlohmann::json fields) {
    nlohmann::json body = {{"v", 1}, {"ok", true}};
    for (auto& [key, value] : fields.items())
        body[key] = std::move(value);
    return {200, std::move(body)};
}

std::string textForStatus(int status) {
    switch (status) {
    case 404: return "bad request: no such path";
    case 405: return "bad request: method not allowed";
    case 413: return errors::tooLarge;
    case 414: return "bad request: URI too long";
    case 431: return "bad request: headers too large";
    case 503: return "bad request: too many calls waiting";
    case 408: return "bad request: the request was too slow";
    case 500: return errors::controlFailed;
    default: return "bad request: malformed HTTP request";
    }
}

} // namespace bridge::server
