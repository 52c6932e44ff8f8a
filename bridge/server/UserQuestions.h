// The user's side of the bridge: the approval and decryption questions, implemented by the app
// with Qt dialogs and by tests with scripted answers.
#pragma once

#include <optional>
#include <string>

namespace bridge::server {

struct ApprovalAnswer {
    bool allow = false;
    bool remember = false;
};

// The user's side, implemented by the app with Qt dialogs. Called by Approvals from a thread of
// its own, one question at a time; blocks until the user answers or the wait limit
// (korvanUserWaitLimitSeconds()) passes.
class UserQuestions {
public:
    virtual ~UserQuestions() = default;
    // False: no display, Qt offscreen, or KORVAN_BRIDGE_ALLOW set.
    virtual bool canAsk() const = 0;
    // Nullopt: no answer (the wait ran out or the bridge is ending); the origin is then denied
    // for this run.
    virtual std::optional<ApprovalAnswer> askApproval(const std::string& origin) = 0;
    virtual bool confirmDecrypt(const std::string& origin) = 0;
};

} // namespace bridge::server
