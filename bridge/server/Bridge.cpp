#include "bridge/server/Bridge.h"

#include "bridge/policy/Policy.h"
#include "bridge/server/Answer.h"
#include "bridge/server/Approvals.h"
#include "bridge/server/CallService.h"
#include "bridge/server/WorkerPool.h"
#include "bridge/server/http/Routes.h"
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

// Stopping answers the calls in flight and closes every connection within this.
constexpr std::chrono::milliseconds kStopGrace{150};

} // namespace

struct Bridge::State {
    BridgeConfig config;
    policy::DecisionStore& decisions;
    UserQuestions& questions;
    std::unique_ptr<WorkerPool> pool;
    std::unique_ptr<Approvals> approvals;
    std::unique_ptr<CallService> service;
    std::unique_ptr<http::Routes> routes;
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

    // In the reverse order of their making: the service and the approvals refer to the pool.
    void endService() {
        routes.reset();
        service.reset();
        approvals.reset();
        pool.reset();
    }
};

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

    http::RouteHooks hooks;
    hooks.port = [state = state_.get()] { return state->server->port(); };
    hooks.maxBody = s.config.maxBody;
    hooks.refusedOutright = [state = state_.get()](const std::string& origin) {
        return state->approvals->refusedOutright(origin);
    };
    hooks.call = [state = state_.get()](const std::optional<std::string>& origin, std::string_view body,
                                        std::string& subject) { return state->service->call(origin, body, subject); };
    hooks.log = log;
    s.routes = std::make_unique<http::Routes>(std::move(hooks));
    http::Limits limits;
    limits.maxBody = s.config.maxBody;
    s.server = std::make_unique<http::Server>(limits, *s.routes, log);
    if (!s.server->start(s.config.port, error)) {
        s.server.reset();
        s.endService();
        return false;
    }
    s.port = s.server->port();
    if (s.server->servesHandedOver())
        s.log("serving the connections the router hands over");
    else
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
