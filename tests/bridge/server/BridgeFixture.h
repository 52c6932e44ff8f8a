// The bridge in process, with a scripted user and the fake worker: the fixture the bridge's
// HTTP tests share, and raw-socket helpers for what a client library would not send.
#pragma once

#include "bridge/policy/DecisionStore.h"
#include "bridge/server/Bridge.h"
#include "bridge/server/PageScript.h"
#include "bridge/server/WorkerProcess.h"

#include <httplib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

using namespace bridge::server;
using bridge::policy::Decision;
using bridge::policy::DecisionStore;
using nlohmann::json;

namespace bridge_test {

constexpr const char* kAllowed = "http://127.0.0.1:9000"; // pre-approved
constexpr const char* kBank = "https://bank.example";
constexpr const char* kOther = "https://other.example";

class ScriptedUser : public UserQuestions {
public:
    bool canAsk() const override { return ask; }
    std::optional<ApprovalAnswer> askApproval(const std::string& origin) override {
        std::lock_guard lock(mutex);
        approvalsAsked.push_back(origin);
        if (approvals.empty())
            return std::nullopt;
        auto answer = approvals.front();
        approvals.pop_front();
        return answer;
    }
    bool confirmDecrypt(const std::string&) override {
        ++decryptsAsked;
        return confirm;
    }

    std::atomic<bool> ask{true};
    std::atomic<bool> confirm{true};
    std::atomic<int> decryptsAsked{0};
    std::mutex mutex;
    std::deque<std::optional<ApprovalAnswer>> approvals;
    std::vector<std::string> approvalsAsked;
};

struct Reply {
    int status = 0;
    json body;
    httplib::Headers headers;
    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
    std::string error() const { return body.is_object() ? body.value("error", "") : ""; }
    json value() const { return body.is_object() && body.contains("value") ? body["value"] : json(); }
};

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A hang ends the test program instead of blocking the run.
        ::alarm(20);
        char folder[] = "/tmp/bridge-server-test-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        folder_ = folder;
        ::setenv("KORVAN_REGISTRY_DIR", folder, 1);
        config.port = 0;
        config.workerPath = KORVAN_FAKE_WORKER;
        config.progIds = {"Fake.Control"};
        config.allowList = {kAllowed};
        config.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            logLines.push_back(line);
        };
    }
    void TearDown() override {
        bridge.reset();
        std::filesystem::remove_all(folder_);
        ::alarm(0);
    }

    void start() {
        bridge = std::make_unique<Bridge>(config, decisions, user);
        std::string error;
        ASSERT_TRUE(bridge->start(error)) << error;
        port = bridge->port();
    }

    std::string host() const { return "127.0.0.1:" + std::to_string(port); }

    Reply post(const std::string& origin, const std::string& body, httplib::Headers headers = {}) {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(20, 0);
        if (!origin.empty())
            headers.emplace("Origin", origin);
        auto result = client.Post("/korvan/v1/call", headers, body, "text/plain;charset=UTF-8");
        Reply reply;
        if (!result)
            return reply;
        reply.status = result->status;
        reply.body = json::parse(result->body, nullptr, false);
        reply.headers = result->headers;
        return reply;
    }
    Reply create(const std::string& origin, const std::string& progId = "Fake.Control") {
        return post(origin, json{{"v", 1}, {"op", "create"}, {"progId", progId}}.dump());
    }
    std::string createObject(const std::string& origin) {
        const Reply reply = create(origin);
        EXPECT_EQ(reply.status, 200) << reply.body.dump();
        return reply.body.value("object", "");
    }
    Reply call(const std::string& origin, const std::string& object, const std::string& member,
               json args = json::array()) {
        return post(origin, json{{"v", 1}, {"op", "call"}, {"object", object}, {"member", member},
                                 {"args", std::move(args)}}
                                .dump());
    }
    static json text(const std::string& value) { return json::array({json::array({"s", value})}); }
    static json number(long value) { return json::array({json::array({"n", value})}); }

    bool logged(const std::string& needle) {
        std::lock_guard lock(logMutex);
        return std::any_of(logLines.begin(), logLines.end(),
                           [&](const std::string& line) { return line.find(needle) != std::string::npos; });
    }

    BridgeConfig config;
    DecisionStore decisions;
    ScriptedUser user;
    std::unique_ptr<Bridge> bridge;
    int port = 0;
    std::mutex logMutex;
    std::vector<std::string> logLines;

private:
    std::string folder_;
};

// A raw request, for what the client library would not send; the answer as text.
inline std::string rawExchange(int port, const std::string& request, bool closeSending) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return "";
    }
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (closeSending)
        ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
        if (!closeSending && answer.find("\r\n\r\n") != std::string::npos &&
            answer.find("}", answer.find("\r\n\r\n")) != std::string::npos)
            break;
    }
    ::close(fd);
    return answer;
}

// A listening socket on the loopback address of `family`; port 0 picks one.
inline UniqueFd listenOn(int family, int port, bool reusePort = false) {
    UniqueFd fd(::socket(family, SOCK_STREAM, 0));
    if (fd.get() < 0)
        return fd;
    const int yes = 1;
    if (reusePort)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4.sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof v4;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd.get(), 4) != 0)
        fd.reset();
    return fd;
}

inline int portOf(const UniqueFd& fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(address).sin_port);
}

inline bool haveV6() {
    return listenOn(AF_INET6, 0).get() >= 0;
}

// A port held on one loopback address of `family`, with the other's side of it free.
inline UniqueFd holdOneSide(int family, bool reusePort = false) {
    const int other = family == AF_INET6 ? AF_INET : AF_INET6;
    for (int attempt = 0; attempt < 20; ++attempt) {
        UniqueFd held = listenOn(family, 0, reusePort);
        if (held.get() >= 0 && listenOn(other, portOf(held)).get() >= 0)
            return held;
    }
    return UniqueFd();
}

inline bool processGone(pid_t pid) {
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace bridge_test
