#include "bridge/server/WorkerEnvironment.h"

#include "bridge/policy/TokenGrants.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string_view>

extern char** environ;

namespace bridge::server {

namespace {

// No session bus: a worker taken over could ask the desktop's services for anything.
constexpr std::array<std::string_view, 9> kInheritedNames = {
    "HOME", "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "LANG",
    "MERIDIA_TOKEN_CONF", "SKYRA_TOKEN_CONF", "QT_QPA_PLATFORM", "LC_ALL"};

// Set by the bridge itself; an inherited value must not override them.
constexpr std::array<std::string_view, 3> kBridgeNames = {
    "KORVAN_CALLER_ORIGIN", "KORVAN_ANSI_CODEPAGE", "KORVAN_BRIDGE_ALLOW"};

bool inherited(std::string_view name, const std::vector<std::string>& granted) {
    if (std::find(kBridgeNames.begin(), kBridgeNames.end(), name) != kBridgeNames.end())
        return false;
    if (std::find(kInheritedNames.begin(), kInheritedNames.end(), name) != kInheritedNames.end() ||
        std::find(granted.begin(), granted.end(), name) != granted.end())
        return true;
    return name.starts_with("XDG_") || name.starts_with("LC_") || name.starts_with("KORVAN_");
}

} // namespace

std::vector<std::string> workerEnvironment(const std::string& origin, int codePage,
                                           const std::vector<std::string>& parent) {
    policy::TokenGrants grants;
    std::string error;
    const char* home = std::getenv("HOME");
    if (!policy::readTokenGrants(policy::kMachineBridgeConfigPath, policy::bridgeConfigPath(),
                                 policy::guardedFolders(home ? home : ""), grants, error))
        grants.variables.clear(); // the worker refuses to serve then, and says why
    return workerEnvironment(origin, codePage, parent, grants.variables);
}

std::vector<std::string> workerEnvironment(const std::string& origin, int codePage,
                                           const std::vector<std::string>& parent,
                                           const std::vector<std::string>& granted) {
    std::vector<std::string> environment{
        std::string("KORVAN_CALLER_ORIGIN=").append(origin),
        std::string("KORVAN_ANSI_CODEPAGE=").append(std::to_string(codePage)),
        "PATH=/usr/local/bin:/usr/bin:/bin",
    };
    for (const std::string& entry : parent) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0)
            continue;
        const std::string_view name(entry.data(), equals);
        const bool seen = std::any_of(environment.begin(), environment.end(), [&](const std::string& e) {
            return e.size() > equals && e.compare(0, equals + 1, entry, 0, equals + 1) == 0;
        });
        if (inherited(name, granted) && !seen)
            environment.push_back(entry);
    }
    return environment;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    return entries;
}

} // namespace bridge::server
