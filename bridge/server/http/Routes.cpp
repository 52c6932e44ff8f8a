#include "bridge/server/http/Routes.h"

#include "bridge/policy/Origin.h"
#include "bridge/server/PageScript.h"

namespace bridge::server::http {

namespace {

constexpr std::string_view kCallPath = "/korvan/v1/call";

// Answers go out uncompressed whatever the browser offers: on loopback compression costs far
// more than it saves.
Reply jsonReply(const Answer& answer) {
    Reply reply;
    reply.status = answer.status;
    reply.headers.emplace_back("Content-Type", "application/json");
    reply.body = answer.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return reply;
}

// Every answer, refusals included, so that the page can read why it was refused.
Reply withCors(Reply reply, const Request& request) {
    if (request.count("Origin") > 0) {
        reply.headers.emplace_back("Access-Control-Allow-Origin", request.value("Origin"));
        reply.headers.emplace_back("Vary", "Origin");
    }
    return reply;
}

std::string_view pathOf(const std::string& target) {
    return std::string_view(target).substr(0, target.find('?'));
}

// Methods the bridge knows and may route; any other is a malformed request.
bool knownMethod(const std::string& method) {
    for (const char* known : {"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH"})
        if (method == known)
            return true;
    return false;
}

} // namespace

std::optional<std::string> Routes::originOf(const Request& request) {
    if (request.count("Origin") != 1)
        return std::nullopt;
    return policy::normalizeOrigin(request.value("Origin"));
}

Reply Routes::refusal(int status, const std::string& text, const Request& head) {
    return withCors(jsonReply(errorAnswer(status, text)), head);
}

// Decided from the header before any body is read.
std::optional<Answer> Routes::screenBody(const Request& head) const {
    if (head.method != "POST")
        return std::nullopt;
    // Without a length the body would run until the peer closes, so a body must declare one.
    if (head.count("Transfer-Encoding") > 0 || head.count("Content-Length") == 0)
        return errorAnswer(411, "bad request: the body needs a Content-Length");
    // Two lengths, or one that is not plain digits, would let this layer and a proxy in front
    // of it disagree about where the body ends.
    const std::string length = head.value("Content-Length");
    if (head.count("Content-Length") != 1 || length.empty() ||
        length.find_first_not_of("0123456789") != std::string::npos)
        return errorAnswer(400, "bad request: malformed Content-Length");
    if (length.size() > 19 || std::stoull(length) > hooks_.maxBody) {
        hooks_.log(std::string("POST ").append(pathOf(head.target)).append(": body too large refused"));
        return errorAnswer(413, errors::tooLarge);
    }
    return std::nullopt;
}

std::optional<Reply> Routes::screen(const Request& head) {
    const std::string_view path = pathOf(head.target);
    if (head.count("Host") != 1 || !policy::hostAllowed(head.value("Host"), hooks_.port())) {
        hooks_.log(std::string(head.method).append(" ").append(path).append(": foreign Host refused"));
        return refusal(403, errors::foreignHost, head);
    }
    if (!knownMethod(head.method))
        return refusal(400, textForStatus(400), head);
    if (std::optional<Answer> refused = screenBody(head))
        return withCors(jsonReply(*refused), head);
    if (head.method == "GET" || head.method == "HEAD")
        return withCors(serveScript(head), head);
    if (path == kCallPath && head.method == "OPTIONS")
        return withCors(preflight(head), head);
    if (path == kCallPath && head.method == "POST")
        return std::nullopt; // the body is read, then answer() runs on a call thread
    return refusal(404, textForStatus(404), head);
}

Reply Routes::serveScript(const Request& request) const {
    const std::string_view path = pathOf(request.target);
    const std::optional<std::string_view> script = pageScriptAt(path);
    if (!script)
        return jsonReply(errorAnswer(404, textForStatus(404)));
    Reply reply;
    // A pinned path names its bytes, so the browser may keep them; the old path follows upgrades.
    reply.headers.emplace_back("Cache-Control", path.starts_with("/korvan/v1/") ? "public, max-age=31536000, immutable"
                                                                                : "no-cache");
    reply.headers.emplace_back("Content-Type", "text/javascript; charset=utf-8");
    reply.body = std::string(*script);
    reply.headOnly = request.method == "HEAD";
    return reply;
}

Reply Routes::preflight(const Request& request) const {
    const std::optional<std::string> origin = originOf(request);
    const bool refused = !origin || hooks_.refusedOutright(*origin);
    Reply reply;
    if (refused)
        reply = jsonReply(errorAnswer(403, errors::notApproved));
    else
        reply.status = 204;
    reply.headers.emplace_back("Access-Control-Allow-Methods", "POST");
    reply.headers.emplace_back("Access-Control-Allow-Headers", "Content-Type");
    reply.headers.emplace_back("Access-Control-Max-Age", "600");
    if (request.value("Access-Control-Request-Private-Network") == "true")
        reply.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
    if (request.value("Access-Control-Request-Local-Network") == "true")
        reply.headers.emplace_back("Access-Control-Allow-Local-Network", "true");
    hooks_.log(std::string("OPTIONS origin ").append(origin.value_or("(none)")).append(" ")
                   .append(std::to_string(reply.status)));
    return reply;
}

Reply Routes::answer(const Request& request) {
    std::string subject = "(unparsed)";
    const std::optional<std::string> origin = originOf(request);
    const Answer answer = hooks_.call(origin, request.body, subject);
    hooks_.log(std::string("POST origin ").append(origin.value_or("(none)")).append(" ").append(subject)
                   .append(": ").append(std::to_string(answer.status)));
    return withCors(jsonReply(answer), request);
}

} // namespace bridge::server::http
