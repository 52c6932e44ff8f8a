#include "bridge/policy/DecisionStore.h"

#include "bridge/policy/RegistryMove.h"
#include "bridge/policy/StateFiles.h"
#include "bridge/policy/StateRecords.h"

namespace bridge::policy {

namespace {

constexpr const char* kOriginsKey = "Software\\KorvanNG\\Bridge\\Origins";

std::optional<state::Decisions> stored() {
    if (!state::ensureMovedFromRegistry())
        return std::nullopt;
    return state::readDecisions();
}

// Read-modify-write under the folder's lock; false when the state cannot be read or written.
template <typename Change>
bool changeStored(Change change) {
    if (!state::ensureMovedFromRegistry())
        return false;
    const state::Lock lock;
    if (!lock)
        return false;
    auto decisions = state::readDecisions();
    if (!decisions)
        return false;
    if (!change(*decisions))
        return true; // nothing to write
    return state::writeDecisions(*decisions);
}

} // namespace

std::string originKeyPath(const std::string& origin) {
    return std::string(kOriginsKey).append("\\").append(origin);
}

const std::string& lastError() {
    return state::lastError();
}

const char* decisionName(Decision decision) {
    switch (decision) {
    case Decision::allowed:
        return "allowed";
    case Decision::denied:
        return "denied";
    case Decision::undecided:
        break;
    }
    return "undecided";
}

Decision DecisionStore::decision(const std::string& origin) const {
    if (!state::normalizedOrigin(origin))
        return Decision::undecided;
    std::lock_guard lock(mutex_);
    if (const auto it = session_.find(origin); it != session_.end())
        return it->second;
    const auto decisions = stored();
    if (!decisions)
        return Decision::undecided;
    const auto it = decisions->find(origin);
    return it != decisions->end() ? it->second : Decision::undecided;
}

bool DecisionStore::remember(const std::string& origin, Decision decision, bool persistent) {
    if (decision == Decision::undecided)
        return forget(origin);
    if (!state::normalizedOrigin(origin))
        return false;
    std::lock_guard lock(mutex_);
    if (!persistent) {
        session_[origin] = decision;
        return true;
    }
    const bool written = changeStored([&](state::Decisions& decisions) {
        auto [it, added] = decisions.emplace(origin, decision);
        if (!added && it->second == decision)
            return false;
        it->second = decision;
        return true;
    });
    if (!written)
        return false;
    session_.erase(origin);
    return true;
}

bool DecisionStore::forget(const std::string& origin) {
    if (!state::normalizedOrigin(origin))
        return false;
    std::lock_guard lock(mutex_);
    // The decrypt counts are kept apart: forgetting an origin must not reset its limit.
    if (!changeStored([&](state::Decisions& decisions) { return decisions.erase(origin) > 0; }))
        return false;
    session_.erase(origin);
    return true;
}

bool DecisionStore::storeReadable() const {
    std::lock_guard lock(mutex_);
    return stored().has_value();
}

std::vector<std::pair<std::string, Decision>> DecisionStore::list() const {
    std::lock_guard lock(mutex_);
    const auto decisions = stored();
    if (!decisions)
        return {};
    return {decisions->begin(), decisions->end()}; // a std::map: sorted by origin
}

} // namespace bridge::policy
