// A worker's environment, built from scratch: what it needs to find the user's session, token
// configuration and display, the caller's origin and the code page, and nothing else of the
// bridge's environment.
#pragma once

#include <string>
#include <vector>

namespace bridge::server {

// `inherited` is the bridge's environment as "NAME=value" entries (environ). The variables
// bridge.conf grants a token module ("token-env") are passed on too; `granted` names them, else
// they are read from the machine's and the user's bridge.conf (a refused grant passes none).
std::vector<std::string> workerEnvironment(const std::string& origin, int codePage,
                                           const std::vector<std::string>& inherited);
std::vector<std::string> workerEnvironment(const std::string& origin, int codePage,
                                           const std::vector<std::string>& inherited,
                                           const std::vector<std::string>& granted);

// The process's own environ as entries.
std::vector<std::string> currentEnvironment();

} // namespace bridge::server
