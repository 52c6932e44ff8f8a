#include "bridge/server/Bridge.h"

#include "bridge/ipc/Values.h"
#include "bridge/policy/Policy.h"
#include "bridge/server/Answer.h"
#include "bridge/server/Approvals.h"
#include "bridge/server/CallService.h"
#include "bridge/server/PageScript.h"
#include "bridge/server/WorkerPool.h"
#include "bridge/server/WorkerProcess.h"
#include "platform/win/UserWait.h"

#include <httplib.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

namespace bridge::server {

namespace {

constexpr const char* kScriptPaths = R"(/korvan/[^/]+\.js|/korvan/v1/[^/]+\.js)";
constexpr const char* kCallPath = "/korvan/v1/call";
// Connections the two servers each serve at once. Calls block while an origin's queue drains
// or a dialog is open, so the library's default of a few threads would let one origin starve
// the others.
constexpr std::size_t kThreadsPerServer = 32;

// SO_REUSEADDR alone lets a restart bind while old connections time out. The library's
// default, SO_REUSEPORT, would also let another program of the user listen on the same address
// and port and silently take a share of the pages' connections.
void reuseAddressOnly(int fd) {
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// A machine without ::1 is served on 127.0.0.1 alone; one with it must have both.
bool haveLoopbackV6() {
    const UniqueFd fd(::socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    return fd.get() >= 0 && ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// For --port 0: a port no socket holds on any address, kept while the servers bind it. Bound to
// the wildcard with SO_REUSEADDR and never listening, it lets them bind 127.0.0.1 and ::1 to
// the port, while others asking for any port are kept off it. Nullopt when there is none.
std::optional<std::pair<UniqueFd, int>> reserveFreePort() {
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_storage address{};
    socklen_t length = 0;
    if (fd.get() >= 0) {
        const int no = 0;
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        auto& any = reinterpret_cast<sockaddr_in6&>(address);
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        length = sizeof any;
    } else {
        fd.reset(::socket(AF_INET, SOCK_STREAM, 0));
        auto& any = reinterpret_cast<sockaddr_in&>(address);
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof any;
    }
    if (fd.get() < 0)
        return std::nullopt;
    reuseAddressOnly(fd.get());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return std::nullopt;
    const in_port_t port = address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                                          : reinterpret_cast<sockaddr_in&>(address).sin_port;
    return std::make_pair(std::move(fd), static_cast<int>(ntohs(port)));
}

// The library compresses text and JSON bodies with brotli at its slowest setting whenever the
// browser offers it: 12 ms for the page script and 0.3 ms for each small answer, on a loopback
// connection where compression saves nothing. A body handed over through a provider of known
// length goes out as it is.
void setUncompressed(httplib::Response& res, std::string body, const char* contentType) {
    auto shared = std::make_shared<const std::string>(std::move(body));
    res.set_content_provider(shared->size(), contentType,
                             [shared](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 return offset <= shared->size() && length <= shared->size() - offset &&
                                        sink.write(shared->data() + offset, length);
                             });
}

void setJson(httplib::Response& res, const Answer& answer) {
    res.status = answer.status;
    setUncompressed(res, answer.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
}

// One address's server. The library closes its listening socket only once the server has run,
// so until then the socket is closed here, and a start that fails leaves no port held.
struct Listener {
    httplib::Server server;
    UniqueFd socket;
    std::thread thread;
    std::atomic<bool> ended{false};

    bool bind(const char* address, int port) {
        int bound = -1;
        server.set_socket_options([&bound](socket_t fd) {
            reuseAddressOnly(fd);
            bound = fd;
        });
        if (!server.bind_to_port(address, port))
            return false; // the library has closed what it made
        socket.reset(bound);
        return true;
    }

    void run() {
        thread = std::thread([this] {
            server.listen_after_bind();
            ended = true;
        });
        // stop() is ignored until the server's loop runs; a bridge stopped right after it
        // started would wait for that loop forever.
        while (!server.is_running() && !ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        socket.release();
    }
};

} // namespace

struct Bridge::State {
    BridgeConfig config;
    policy::DecisionStore& decisions;
    UserQuestions& questions;
    std::unique_ptr<WorkerPool> pool;
    std::unique_ptr<Approvals> approvals;
    std::unique_ptr<CallService> service;
    std::vector<std::unique_ptr<Listener>> listeners;
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
    static std::optional<std::string> originOf(const httplib::Request& req) {
        if (req.get_header_value_count("Origin") != 1)
            return std::nullopt;
        return policy::normalizeOrigin(req.get_header_value("Origin"));
    }

    // In the reverse order of their making: the service and the approvals refer to the pool.
    void endService() {
        service.reset();
        approvals.reset();
        pool.reset();
    }

    void install(httplib::Server& server);
    httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res) const;
    void serveScript(const httplib::Request& req, httplib::Response& res) const;
    void preflight(const httplib::Request& req, httplib::Response& res);
};

httplib::Server::HandlerResponse Bridge::State::screen(const httplib::Request& req,
                                                       httplib::Response& res) const {
    if (req.get_header_value_count("Host") != 1 || !policy::hostAllowed(req.get_header_value("Host"), port)) {
        log(std::string(req.method).append(" ").append(req.path).append(": foreign Host refused"));
        setJson(res, errorAnswer(403, errors::foreignHost));
        return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST") {
        // Decided from the header before the body is read. Without a length the library would
        // read until the peer closes, so a body must declare one.
        if (req.has_header("Transfer-Encoding") || !req.has_header("Content-Length")) {
            setJson(res, errorAnswer(411, "bad request: the body needs a Content-Length"));
            res.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Two lengths, or one that is not plain digits, would let the library and a proxy in
        // front of it disagree about where the body ends.
        const std::string length = req.get_header_value("Content-Length");
        if (req.get_header_value_count("Content-Length") != 1 || length.empty() ||
            length.find_first_not_of("0123456789") != std::string::npos) {
            setJson(res, errorAnswer(400, "bad request: malformed Content-Length"));
            res.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (length.size() > 19 || std::stoull(length) > config.maxBody) {
            log(std::string("POST ").append(req.path).append(": body too large refused"));
            setJson(res, errorAnswer(413, errors::tooLarge));
            res.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        }
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

void Bridge::State::serveScript(const httplib::Request& req, httplib::Response& res) const {
    const std::optional<std::string_view> script = pageScriptAt(req.path);
    if (!script) {
        setJson(res, errorAnswer(404, textForStatus(404)));
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    setUncompressed(res, std::string(*script), "text/javascript; charset=utf-8");
}

void Bridge::State::preflight(const httplib::Request& req, httplib::Response& res) {
    const std::optional<std::string> origin = originOf(req);
    const bool refused = !origin || approvals->refusedOutright(*origin);
    if (refused) {
        setJson(res, errorAnswer(403, errors::notApproved));
    } else {
        res.status = 204;
    }
    res.set_header("Access-Control-Allow-Methods", "POST");
    res.set_header("Access-Control-Allow-Headers", "Content-Type");
    res.set_header("Access-Control-Max-Age", "600");
    if (req.get_header_value("Access-Control-Request-Private-Network") == "true")
        res.set_header("Access-Control-Allow-Private-Network", "true");
    if (req.get_header_value("Access-Control-Request-Local-Network") == "true")
        res.set_header("Access-Control-Allow-Local-Network", "true");
    log(std::string("OPTIONS origin ").append(origin.value_or("(none)")).append(" ")
            .append(std::to_string(res.status)));
}

void Bridge::State::install(httplib::Server& server) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kThreadsPerServer); };
    server.set_payload_max_length(config.maxBody);
    // Debian's library is prebuilt, so its compile-time switch cannot turn Nagle's delay off:
    // without this a page's next call on a kept-alive connection waits for a delayed ACK.
    server.set_tcp_nodelay(true);
    // A page makes many small calls; let it keep its connection for them.
    server.set_keep_alive_max_count(1000);
    server.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return screen(req, res); });
    server.Get(kScriptPaths, [this](const httplib::Request& req, httplib::Response& res) { serveScript(req, res); });
    server.Options(kCallPath, [this](const httplib::Request& req, httplib::Response& res) { preflight(req, res); });
    server.Post(kCallPath, [this](const httplib::Request& req, httplib::Response& res) {
        std::string subject = "(unparsed)";
        const Answer answer = service->call(originOf(req), req.body, subject);
        setJson(res, answer);
        const std::optional<std::string> origin = originOf(req);
        log(std::string("POST origin ").append(origin.value_or("(none)")).append(" ").append(subject)
                .append(": ").append(std::to_string(answer.status)));
    });
    // The library's own refusals (a malformed request, no such path, a body over the limit)
    // get the same JSON error as ours.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& res) {
            if (res.has_header("Content-Type"))
                return httplib::Server::HandlerResponse::Unhandled;
            setJson(res, errorAnswer(res.status, textForStatus(res.status)));
            return httplib::Server::HandlerResponse::Handled;
        }));
    // Every answer, refusals included, so that the page can read why it was refused.
    server.set_post_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.get_header_value_count("Origin") == 0)
            return;
        res.set_header("Access-Control-Allow-Origin", req.get_header_value("Origin"));
        res.set_header("Vary", "Origin");
    });
    server.set_exception_handler([this](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        log("a request failed with an exception");
        setJson(res, errorAnswer(500, errors::controlFailed));
    });
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
    if (!s.listeners.empty()) {
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

    // The page may name either address, so a port held by someone else on either is refused:
    // that program would be answering the bridge's pages.
    std::optional<std::pair<UniqueFd, int>> reservation;
    int port = s.config.port;
    if (port == 0) {
        reservation = reserveFreePort();
        if (!reservation) {
            error = "no port is free on both 127.0.0.1 and ::1";
            s.endService();
            return false;
        }
        port = reservation->second;
    }
    const std::string portText = std::to_string(port);
    auto v4 = std::make_unique<Listener>();
    s.install(v4->server);
    if (!v4->bind("127.0.0.1", port)) {
        error = std::string("cannot listen on 127.0.0.1:").append(portText).append(": the port is taken");
        s.endService();
        return false;
    }
    auto v6 = std::make_unique<Listener>();
    s.install(v6->server);
    const bool servesV6 = v6->bind("::1", port);
    if (!servesV6 && haveLoopbackV6()) {
        error = std::string("cannot listen on [::1]:").append(portText).append(": the port is taken");
        s.endService();
        return false;
    }
    if (!servesV6)
        s.log("this machine has no ::1; serving 127.0.0.1 only");
    s.port = port;
    s.listeners.push_back(std::move(v4));
    if (servesV6)
        s.listeners.push_back(std::move(v6));
    for (auto& listener : s.listeners)
        listener->run();
    s.log(std::string("listening on http://127.0.0.1:").append(portText));
    return true;
}

int Bridge::port() const {
    return state_->port;
}

void Bridge::stop() {
    State& s = *state_;
    if (s.pool)
        s.pool->beginShutdown();
    for (auto& listener : s.listeners)
        listener->server.stop();
    for (auto& listener : s.listeners)
        if (listener->thread.joinable())
            listener->thread.join();
    s.listeners.clear();
    s.endService();
}

} // namespace bridge::server
