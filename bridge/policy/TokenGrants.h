// What an administrator (or the user, in their own bridge.conf) lets a worker have beyond its
// usual fence, for a token module that needs it: lines "token-env = NAME" (a variable the worker
// inherits, e.g. the module's settings file) and "token-path = /abs/path" (read-write beneath it,
// e.g. the module's token folder). Both the machine's and the user's bridge.conf add up.
#pragma once

#include "bridge/policy/ProgIds.h"

#include <string>
#include <string_view>
#include <vector>

namespace bridge::policy {

struct TokenGrants {
    std::vector<std::string> variables;
    std::vector<std::string> paths; // as written: absolute, normalized lexically
};

// Whether a bridge.conf key is one of the grants' (ASCII case ignored).
bool tokenGrantKey(std::string_view key);

// The folders no grant may hold or lie within: the bridge's state and the registry store; the
// home folder may hold a grant but not be one or lie within one.
struct GuardedFolders {
    std::vector<std::string> inside; // neither beneath nor holding
    std::string home;                // not holding
};
GuardedFolders guardedFolders(const std::string& home);

// The grants of one bridge.conf's text appended to `grants`; false with `error` naming `source`,
// the line and why, for a grant that is refused. Other lines are left to their readers.
bool addTokenGrants(std::string_view text, const std::string& source, const GuardedFolders& guarded,
                    TokenGrants& grants, std::string& error);

// The machine's file, then the user's (a missing file grants nothing).
bool readTokenGrants(const std::string& machineConfig, const std::string& userConfig,
                     const GuardedFolders& guarded, TokenGrants& grants, std::string& error);

} // namespace bridge::policy
