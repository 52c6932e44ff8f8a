// The ProgIDs a page may create: the controls shipped with the bridge, plus those the machine's
// and the user's bridge.conf add with lines "progid = X" (blank lines and lines starting with '#'
// ignored).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bridge::policy {

// The administrator's bridge.conf, read before the user's own.
inline constexpr const char* kMachineBridgeConfigPath = "/etc/korvanng/bridge.conf";

// $XDG_CONFIG_HOME/korvanng/bridge.conf, else ~/.config/korvanng/bridge.conf.
std::string bridgeConfigPath();

// The ProgIDs named in the text of a bridge.conf, as written; a ProgID named twice (in any
// case) is kept once. Malformed lines are appended to `malformed` when it is given.
std::vector<std::string> progIdsFromConfig(std::string_view text,
                                           std::vector<std::string>* malformed = nullptr);

// The built-in ProgIDs followed by those of the machine's bridge.conf, then the user's (a missing
// file adds none).
std::vector<std::string> scriptableProgIds(std::vector<std::string>* malformed = nullptr,
                                           const std::string& machineConfig = kMachineBridgeConfigPath);

// Whether `progId` is in the list, compared without regard to case as ProgIDs are.
bool progIdListed(const std::vector<std::string>& list, std::string_view progId);

} // namespace bridge::policy
