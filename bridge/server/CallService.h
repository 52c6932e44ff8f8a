// What a call to /korvan/v1/call does once the HTTP layer has read it: parse the request,
// check the origin, hand the call to the origin's worker, and answer the worker's question
// before it runs the decryption member (counted, and confirmed by the user).
// Free of HTTP, so that any transport (and the fuzzers) can drive it.
#pragma once

#include "bridge/policy/DecryptLimiter.h"
#include "bridge/server/Answer.h"
#include "bridge/server/Approvals.h"
#include "bridge/server/WorkerPool.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bridge::server {

class CallService {
public:
    CallService(std::vector<std::string> progIds, Approvals& approvals, WorkerPool& pool,
                std::function<void(const std::string&)> log);

    // origin: the request's normalized Origin, nullopt when it has none that is usable.
    // `subject` names what was called, for the log: the op and the ProgID or member, never
    // arguments.
    Answer call(const std::optional<std::string>& origin, std::string_view body, std::string& subject);

private:
    bool gate(const std::string& origin, const std::string& member, bool& confirmedInWorker);

    std::vector<std::string> progIds_;
    Approvals& approvals_;
    WorkerPool& pool_;
    std::function<void(const std::string&)> log_;
    policy::DecryptLimiter decryptLimiter_;
};

} // namespace bridge::server
