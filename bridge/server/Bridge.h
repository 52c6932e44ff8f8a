// korvan-bridge's server: the page script and the call endpoint on loopback HTTP, the origin
// checks in front of them and one worker process per origin behind them.
#pragma once

#include "bridge/policy/DecisionStore.h"
#include "bridge/server/UserQuestions.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bridge::server {

struct BridgeConfig {
    int port = 28561;                   // 0: pick a free one
    int codePage = 1252;                // given to every worker
    std::vector<std::string> allowList; // pre-approved origins (any scheme), normalized
    std::vector<std::string> progIds;   // policy::scriptableProgIds()
    std::string workerPath;             // korvan-bridge-worker
    int idleSeconds = 1800;             // a worker ends this long after its last call
    int callSeconds = 30;               // a call's budget, time waiting for the user excluded
    int maxWorkers = 8;
    std::size_t maxBody = 1 << 20;
    int maxQueuedCallsPerOrigin = 16;
    // How long a token login lasts from the PIN entry, whatever the calls; 0: one call.
    int pinCacheSeconds = 300;
    // One line per event (origins, members, statuses; never argument or result texts).
    // Empty: lines go to stderr.
    std::function<void(const std::string&)> log;
};

class Bridge {
public:
    Bridge(BridgeConfig config, policy::DecisionStore& decisions, UserQuestions& questions);
    ~Bridge(); // stops serving, ends workers
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Binds 127.0.0.1 and, where the machine has it, ::1 on the same port, and starts serving.
    bool start(std::string& error);
    int port() const; // the bound port; 0 before start
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace bridge::server
