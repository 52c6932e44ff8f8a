#include "bridge/server/Bridge.h"

#include "bridge/ipc/Values.h"
#include "bridge/policy/Policy.h"
#include "bridge/server/Answer.h"
#include "bridge/server/Approvals.h"
#include "bridge/server/CallService.h"
#include "bridge/server/PageScript.h"
#include "bridge/server/WorkerPool.h"
#include "bridge/server/http/Handler.h"
#include "bridge/server/http/Server.h"
#include "platform/win/UserWait.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>

namespace bridge::server {

namespace {

constexpr std::string_view kCallPath = "/korvan/v1/call";
// Stopping answers the calls in flight and closes every connection within this.
constexpr std::chrono::milliseconds kStopGrace{150};

// Answers go out uncompressed whatever the browser offers: on loopback compression costs far
// more than it saves.
http::Reply jsonReply(const Answer& answer) {
    http::Reply reply;
    reply.status = answer.status;
    reply.headers.emplace_back("Content-Type", "application/json");
    reply.body = answer.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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

struct Bridge::State : http::Handler {
    BridgeConfig config;
    policy::DecisionStore& decisions;
    UserQuestions& questions;
    std::unique_ptr<WorkerPool> pool;
    std::unique_ptr<Approvals> approvals;
    std::unique_ptr<CallService> service;
    std::unique_ptr<http::Server> server;
    int port = 0;

    State(BridgeConfig c, policy::DecisionStore& d, UserQuestions& q)
        : config(std::move(c)), decisions(d), questions(q) {}

    void log(const std::string& line) const {
        if (config.log)
            config.log(line);
        else
            std::cerr << "korvan-bridge: " << line << '\n';
    }

    // Nullopt when the request has no usable Origin (none, several, "null", malformed).
    static std::optional<std::string> originOf(const http::Request& req) {
        if (req.count("Origin") != 1)
            return std::nullopt;
        return policy::normalizeOrigin(req.value("Origin"));
    }

    // Every answer, refusals included, so that the page can read why it was refused.
    static http::Reply withCors(http::Reply reply, const http::Request& req) {
        if (req.count("Origin") > 0) {
            reply.headers.emplace_back("Access-Control-Allow-Origin", req.value("Origin"));
            reply.headers.emplace_back("Vary", "Origin");
        }
        return reply;
    }

    // In the reverse order of their making: the service and the approvals refer to the pool.
    void endService() {
        service.reset();
        approvals.reset();
        pool.reset();
    }

    std::optional<http::Reply> screen(const http::Request& head) override;
    http::Reply answer(const http::Request& req) override;
    http::Reply refusal(int status, const std::string& text, const http::Request& head) override {
        return withCors(jsonReply(errorAnswer(status, text)), head);
    }

    std::optional<Answer> screenBody(const http::Request& head) const;
    http::Reply serveScript(const http::Request& req) const;
    http::Reply preflight(const http::Request& req) const;
};

// Decided from the header before any body is read.
std::optional<Answer> Bridge::State::screenBody(const http::Request& head) const {
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
    if (length.size() > 19 || std::stoull(length) > config.maxBody) {
        log(std::string("POST ").append(pathOf(head.target)).append(": body too large refused"));
        return errorAnswer(413, errors::tooLarge);
    }
    return std::nullopt;
}

std::optional<http::Reply> Bridge::State::screen(const http::Request& head) {
    const std::string_view path = pathOf(head.target);
    if (head.count("Host") != 1 || !policy::hostAllowed(head.value("Host"), server->port())) {
        log(std::string(head.method).append(" ").append(path).append(": foreign Host refused"));
        return withCors(jsonReply(errorAnswer(403, errors::foreignHost)), head);
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

http::Reply Bridge::State::serveScript(const http::Request& req) const {
    const std::optional<std::string_view> script = pageScriptAt(pathOf(req.target));
    if (!script)
        return jsonReply(errorAnswer(404, textForStatus(404)));
    http::Reply reply;
    reply.headers.emplace_back("Cache-Control", "no-cache");
    reply.headers.emplace_back("Content-Type", "text/javascript; charset=utf-8");
    reply.body = std::string(*script);
    reply.headOnly = req.method == "HEAD";
    return reply;
}

http::Reply Bridge::State::preflight(const http::Request& req) const {
    const std::optional<std::string> origin = originOf(req);
    const bool refused = !origin || approvals->refusedOutright(*origin);
    http::Reply reply;
    if (refused)
        reply = jsonReply(errorAnswer(403, errors::notApproved));
    else
        reply.status = 204;
    reply.headers.emplace_back("Access-Control-Allow-Methods", "POST");
    reply.headers.emplace_back("Access-Control-Allow-Headers", "Content-Type");
    reply.headers.emplace_back("Access-Control-Max-Age", "600");
    if (req.value("Access-Control-Request-Private-Network") == "true")
        reply.headers.emplace_back("Access-Control-Allow-Private-Network", "true");
    if (req.value("Access-Control-Request-Local-Network") == "true")
        reply.headers.emplace_back("Access-Control-Allow-Local-Network", "true");
    log(std::string("OPTIONS origin ").append(origin.value_or("(none)")).append(" ")
            .append(std::to_string(reply.status)));
    return reply;
}

http::Reply Bridge::State::answer(const http::Request& req) {
    std::string subject = "(unparsed)";
    const std::optional<std::string> origin = originOf(req);
    const Answer answer = service->call(origin, req.body, subject);
    log(std::string("POST origin ").append(origin.value_or("(none)")).append(" ").append(subject)
            .append(": ").append(std::to_string(answer.status)));
    return withCors(jsonReply(answer), req);
}

Bridge::Bridge(BridgeConfig config, policy::DecisionStore& decisions, UserQuestions& questions)
    : state_(std::make_unique<State>(std::move(config), decisions, questions)) {
    // Compared with normalized Origin headers, so kept in the same form.
    std::vector<std::string> allowList;
    for (const std::string& entry : state_->config.allowList)
        if (auto origin = policy::normalizeOrigin(entry))
            allowList.push_back(std::move(*origin));
    state_->config.allowList = std::move(allowList);
}

Bridge::~Bridge() {
    stop();
}

bool Bridge::start(std::string& error) {
    State& s = *state_;
    if (s.server) {
        error = "the bridge is already serving";
        return false;
    }
    // A page closing its connection must not end the bridge; workers get the default back.
    ::signal(SIGPIPE, SIG_IGN);

    PoolSettings settings;
    settings.workerPath = s.config.workerPath;
    settings.codePage = s.config.codePage;
    settings.idle = std::chrono::seconds(std::max(s.config.idleSeconds, 1));
    settings.callBudget = std::chrono::seconds(std::max(s.config.callSeconds, 1));
    // A wait ends by itself as a cancel after the limit; a worker still waiting 30 s later hangs.
    settings.waitLimit = std::chrono::seconds(korvanUserWaitLimitSeconds() + 30);
    settings.maxWorkers = std::max(s.config.maxWorkers, 1);
    settings.maxQueuedCalls = std::max(s.config.maxQueuedCallsPerOrigin, 0);
    settings.loginLifetime = std::chrono::seconds(std::max(s.config.pinCacheSeconds, 0));
    settings.log = [state = state_.get()](const std::string& line) { state->log(line); };
    s.pool = std::make_unique<WorkerPool>(std::move(settings));
    const auto log = [state = state_.get()](const std::string& line) { state->log(line); };
    s.approvals = std::make_unique<Approvals>(s.config.allowList, s.decisions, s.questions, log);
    s.service = std::make_unique<CallService>(s.config.progIds, *s.approvals, *s.pool, log);

    http::Limits limits;
    limits.maxBody = s.config.maxBody;
    s.server = std::make_unique<http::Server>(limits, s, log);
    if (!s.server->start(s.config.port, error)) {
        s.server.reset();
        s.endService();
        return false;
    }
    s.port = s.server->port();
    s.log(std::string("listening on http://127.0.0.1:").append(std::to_string(s.port)));
    return true;
}

int Bridge::port() const {
    return state_->port;
}

void Bridge::stop() {
    State& s = *state_;
    if (s.pool)
        s.pool->beginShutdown();
    if (s.server)
        s.server->stop(kStopGrace);
    s.server.reset();
    s.endService();
}

} // namespace bridge::server
