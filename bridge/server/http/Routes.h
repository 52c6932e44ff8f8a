// What the bridge serves over HTTP, decided from each request: the Host and length checks
// made before any body is read, the page scripts, the preflight, and the call endpoint, whose
// requests go to `call`. CORS headers on every answer that names an Origin.
#pragma once

#include "bridge/server/Answer.h"
#include "bridge/server/http/Handler.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace bridge::server::http {

struct RouteHooks {
    std::function<int()> port; // the bound port, which Host must name
    std::size_t maxBody = 1 << 20;
    // Whether a preflight from `origin` (normalized) is refused without asking anyone.
    std::function<bool(const std::string& origin)> refusedOutright;
    // A call's answer; may block. `subject` names what was called, for the log.
    std::function<Answer(const std::optional<std::string>& origin, std::string_view body, std::string& subject)> call;
    std::function<void(const std::string&)> log;
};

class Routes : public Handler {
public:
    explicit Routes(RouteHooks hooks) : hooks_(std::move(hooks)) {}

    std::optional<Reply> screen(const Request& head) override;
    Reply answer(const Request& request) override;
    Reply refusal(int status, const std::string& text, const Request& head) override;

    // The request's one Origin, normalized; nullopt when none, several, "null" or malformed.
    static std::optional<std::string> originOf(const Request& request);

private:
    std::optional<Answer> screenBody(const Request& head) const;
    Reply serveScript(const Request& request) const;
    Reply preflight(const Request& request) const;

    RouteHooks hooks_;
};

} // namespace bridge::server::http
