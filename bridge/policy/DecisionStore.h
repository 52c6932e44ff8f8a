// The user's answers to "may this origin use the controls?".
//
// Remembered answers live in the bridge's state folder (StateFiles.h), which workers cannot
// write, so that every bridge run and `korvan-bridge --list-origins` see them; they are moved
// there from the registry store, where they used to be, on first use (RegistryMove.h). Answers
// for this run only stay in the object. Safe to use from several threads.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace bridge::policy {

enum class Decision { undecided, allowed, denied };

// The registry key where one origin's decision and decrypt counts used to be kept.
std::string originKeyPath(const std::string& origin);

class DecisionStore {
public:
    // An answer for this run wins over a remembered one; a remembered one is read afresh each
    // time, so that a `--forget` from another process takes effect at once.
    Decision decision(const std::string& origin) const;

    // persistent: written to the state folder (and any answer for this run dropped);
    // otherwise kept for this run only. Undecided is the same as forget(). False, and nothing
    // changed, when the origin is not a normalized origin or the store refuses the write.
    bool remember(const std::string& origin, Decision decision, bool persistent = true);

    // Drops both the remembered answer and the one for this run. False when the store refused.
    bool forget(const std::string& origin);

    // The remembered answers, sorted by origin; answers for this run are not listed.
    std::vector<std::pair<std::string, Decision>> list() const;

    // False when the state cannot be read (a damaged file, or old entries that could not be
    // moved out of the registry store): every origin then reads as undecided and list() is
    // empty, which must not be taken for "nothing remembered". lastError() tells why.
    bool storeReadable() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Decision> session_;
};

// Why the last failed call of this thread failed.
const std::string& lastError();

// "allowed", "denied", "undecided".
const char* decisionName(Decision decision);

} // namespace bridge::policy
