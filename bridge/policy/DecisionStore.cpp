#include "bridge/policy/DecisionStore.h"

#include "bridge/policy/Origin.h"
#include "platform/Registry.h"

#include <algorithm>

namespace bridge::policy {

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

constexpr const char* kOriginsKey = "Software\\KorvanNG\\Bridge\\Origins";
constexpr const char* kDecisionValue = "Decision";

// Only a normalized origin names a key: it holds no backslash and has one spelling.
bool wellFormed(const std::string& origin) {
    const auto normalized = normalizeOrigin(origin);
    return normalized && *normalized == origin;
}

Decision parseDecision(const std::optional<std::string>& text) {
    if (text == "allowed")
        return Decision::allowed;
    if (text == "denied")
        return Decision::denied;
    return Decision::undecided;
}

Decision storedDecision(const std::string& origin) {
    const auto key = RegistryKey::open(RegistryRoot::CurrentUser, originKeyPath(origin));
    return key ? parseDecision(key->stringValue(kDecisionValue)) : Decision::undecided;
}

// The root key always exists: opening it fails only for a file that cannot be read, and
// leaves an error behind for a damaged one (which reads as empty).
bool readable() {
    return RegistryKey::open(RegistryRoot::CurrentUser, "").has_value() && platform::registryLastError().empty();
}

bool forgetStored(const std::string& origin) {
    const std::string path = originKeyPath(origin);
    auto key = RegistryKey::open(RegistryRoot::CurrentUser, path);
    if (!key)
        return readable();
    if (key->stringValue(kDecisionValue) && !key->deleteValue(kDecisionValue))
        return false;
    // The decrypt counts stay with the key: forgetting an origin must not reset its limit.
    if (key->valueNames().empty() && key->subkeyNames().empty())
        platform::deleteTree(RegistryRoot::CurrentUser, path);
    return true;
}

} // namespace

std::string originKeyPath(const std::string& origin) {
    return std::string(kOriginsKey).append("\\").append(origin);
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
    if (!wellFormed(origin))
        return Decision::undecided;
    std::lock_guard lock(mutex_);
    if (const auto it = session_.find(origin); it != session_.end())
        return it->second;
    return storedDecision(origin);
}

bool DecisionStore::remember(const std::string& origin, Decision decision, bool persistent) {
    if (decision == Decision::undecided)
        return forget(origin);
    if (!wellFormed(origin))
        return false;
    std::lock_guard lock(mutex_);
    if (!persistent) {
        session_[origin] = decision;
        return true;
    }
    auto key = RegistryKey::create(RegistryRoot::CurrentUser, originKeyPath(origin));
    if (!key || !key->setString(kDecisionValue, decisionName(decision)))
        return false;
    session_.erase(origin);
    return true;
}

bool DecisionStore::forget(const std::string& origin) {
    if (!wellFormed(origin))
        return false;
    std::lock_guard lock(mutex_);
    if (!forgetStored(origin))
        return false;
    session_.erase(origin);
    return true;
}

bool DecisionStore::storeReadable() const {
    std::lock_guard lock(mutex_);
    return readable();
}

std::vector<std::pair<std::string, Decision>> DecisionStore::list() const {
    std::vector<std::pair<std::string, Decision>> out;
    std::lock_guard lock(mutex_);
    const auto origins = RegistryKey::open(RegistryRoot::CurrentUser, kOriginsKey);
    if (!origins)
        return out;
    for (const std::string& name : origins->subkeyNames()) {
        // A key written by hand may be any text; only what decision() would read is listed.
        if (!wellFormed(name))
            continue;
        const Decision decision = storedDecision(name);
        if (decision != Decision::undecided)
            out.emplace_back(name, decision);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace bridge::policy
