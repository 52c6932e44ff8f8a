// Which origins may use the controls: the allow list, the user's remembered and this run's
// answers, and the approval and decryption questions put to the user. Free of HTTP.
#pragma once

#include "bridge/policy/ApprovalThrottle.h"
#include "bridge/policy/DecisionStore.h"
#include "bridge/server/UserQuestions.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace bridge::server {

class Approvals {
public:
    // allowList: normalized origins, approved without a question.
    Approvals(std::vector<std::string> allowList, policy::DecisionStore& decisions, UserQuestions& questions,
              std::function<void(const std::string&)> log);

    bool preApproved(const std::string& origin) const;
    // Denied, and so refused without a question (a preflight is answered from this).
    bool refusedOutright(const std::string& origin) const;
    // Approved, asking the user when the origin is undecided and a question may be put.
    bool approved(const std::string& origin);
    // Asks the user whether the origin may decrypt; false when no one can be asked.
    bool confirmDecrypt(const std::string& origin);

private:
    std::vector<std::string> allowList_;
    policy::DecisionStore& decisions_;
    UserQuestions& questions_;
    std::function<void(const std::string&)> log_;
    policy::ApprovalThrottle throttle_;
    std::mutex dialogMutex_; // one dialog at a time
};

} // namespace bridge::server
