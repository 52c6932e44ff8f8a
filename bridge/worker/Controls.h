// The controls one worker hosts: created by ProgID, checked safe for untrusted callers, and
// called by member name. Objects are numbered from 1 in creation order; numbers are never reused.
#pragma once

#include "bridge/ipc/Values.h"
#include "bridge/worker/ComRef.h"
#include "bridge/worker/Members.h"

#include <oaidl.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bridge::worker {

// What a request gave: ok with its fields, or a status and an error text for the page.
struct Outcome {
    bool ok = true;
    int status = 200;
    std::string error;
    nlohmann::json fields = nlohmann::json::object();

    static Outcome failure(int status, std::string error);
};

class Controls {
public:
    static constexpr std::size_t kMaxObjects = 64;

    // Asked before a gated member runs, with the gated name; false answers "FALSE" instead.
    using GateAsk = std::function<bool(const std::string& member)>;

    // {"object": N, "members": [{"name": ..., "params": [...]}, ...]}
    Outcome create(const std::string& progId);
    // {"value": [...]} or no field when the member wrote no value.
    Outcome call(long long object, const std::string& member, const nlohmann::json& args);

    std::size_t objectCount() const { return objects_.size(); }

    // The members the bridge decides on, by the names their type information gives them: a
    // call reaching such a member's DISPID, however the page spelled it, asks first.
    void gate(std::vector<std::string> members, GateAsk ask);

private:
    struct Object {
        std::string progId;
        ComRef<IDispatch> dispatch;
        std::vector<Member> members;
    };

    const std::string* gatedName(const Object& object, DISPID id) const;

    std::map<long long, Object> objects_;
    long long lastSerial_ = 0;
    std::vector<std::string> gated_;
    GateAsk ask_;
};

} // namespace bridge::worker
