#include "bridge/policy/RegistryMove.h"

#include "bridge/policy/StateFiles.h"
#include "bridge/policy/StateRecords.h"
#include "platform/Registry.h"

#include <charconv>
#include <string_view>

namespace bridge::policy::state {

namespace {

using platform::RegistryKey;
using platform::RegistryRoot;

constexpr const char* kOriginsKey = "Software\\KorvanNG\\Bridge\\Origins";
constexpr FileFormat kMarker{"moved-from-registry", "korvanng-bridge moved-from-registry 1", 64};
// More than a day's worth of stamps; a longer value was not written by the bridge.
constexpr std::size_t kMaxCallsText = 4096;

Decision parseDecision(const std::optional<std::string>& text) {
    if (text == "allowed")
        return Decision::allowed;
    if (text == "denied")
        return Decision::denied;
    return Decision::undecided;
}

// The old value's stamps; anything that is not a number is skipped, as the old reader did.
std::vector<std::int64_t> parseOldCalls(std::string_view text) {
    std::vector<std::int64_t> calls;
    if (text.size() > kMaxCallsText)
        return calls;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view item = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        std::int64_t stamp = 0;
        const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), stamp);
        if (!item.empty() && error == std::errc() && end == item.data() + item.size())
            calls.push_back(stamp);
    }
    return calls;
}

bool moveEntries() {
    const auto root = RegistryKey::open(RegistryRoot::CurrentUser, "");
    if (!root || !platform::registryLastError().empty())
        return fail("cannot read the registry store to move the old decisions out of it: " +
                    platform::registryLastError());
    const auto origins = RegistryKey::open(RegistryRoot::CurrentUser, kOriginsKey);
    if (!origins)
        return true; // nothing was ever kept there
    auto decisions = readDecisions();
    auto calls = readDecryptCalls();
    if (!decisions || !calls)
        return false;
    for (const std::string& name : origins->subkeyNames()) {
        // Only what the old store would have read is moved; hand-written keys are dropped.
        if (!normalizedOrigin(name))
            continue;
        const auto key = RegistryKey::open(RegistryRoot::CurrentUser, std::string(kOriginsKey) + "\\" + name);
        if (!key)
            continue;
        if (const Decision decision = parseDecision(key->stringValue("Decision")); decision != Decision::undecided)
            decisions->emplace(name, decision);
        if (auto stamps = parseOldCalls(key->stringValue("DecryptCalls").value_or("")); !stamps.empty())
            calls->emplace(name, std::move(stamps));
    }
    if (!writeDecisions(*decisions) || !writeDecryptCalls(*calls))
        return false;
    if (!platform::deleteTree(RegistryRoot::CurrentUser, kOriginsKey))
        return fail("cannot remove the old decisions from the registry store: " + platform::registryLastError());
    return true;
}

} // namespace

bool ensureMovedFromRegistry() {
    auto moved = exists(kMarker.name);
    if (moved && *moved)
        return true;
    if (!moved)
        return false;
    const Lock lock;
    if (!lock)
        return false;
    moved = exists(kMarker.name); // another process may have moved them meanwhile
    if (!moved || *moved)
        return moved.has_value();
    return moveEntries() && writeRecords(kMarker, {});
}

} // namespace bridge::policy::state
