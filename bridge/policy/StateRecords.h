// What the bridge keeps in its state folder: the remembered decision of each origin, and the
// decryption calls of each origin's last day. Both read and written whole; see StateFiles.h for
// what "unreadable" means.
#pragma once

#include "bridge/policy/DecisionStore.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bridge::policy::state {

using Decisions = std::map<std::string, Decision>;
// Seconds since the epoch, oldest first.
using DecryptCalls = std::map<std::string, std::vector<std::int64_t>>;

// Only allowed and denied are kept; a line with anything else, or not a normalized origin, or an
// origin twice, makes the file unreadable.
std::optional<Decisions> readDecisions();
bool writeDecisions(const Decisions& decisions);

std::optional<DecryptCalls> readDecryptCalls();
// Origins without a call are left out.
bool writeDecryptCalls(const DecryptCalls& calls);

// True for the exact spelling normalizeOrigin() gives.
bool normalizedOrigin(const std::string& origin);

} // namespace bridge::policy::state
