#include "bridge/server/Approvals.h"

#include <algorithm>

#include "bridge/policy/Origin.h"

namespace bridge::server {

Approvals::Approvals(std::vector<std::string> allowList, policy::DecisionStore& decisions,
                     UserQuestions& questions, std::function<void(const std::string&)> log)
    : allowList_(std::move(allowList)), decisions_(decisions), questions_(questions), log_(std::move(log)) {}

bool Approvals::preApproved(const std::string& origin) const {
    return std::find(allowList_.begin(), allowList_.end(), origin) != allowList_.end();
}

bool Approvals::refusedOutright(const std::string& origin) const {
    return !preApproved(origin) && decisions_.decision(origin) == policy::Decision::denied;
}

bool Approvals::approved(const std::string& origin) {
    if (preApproved(origin))
        return true;
    switch (decisions_.decision(origin)) {
    case policy::Decision::allowed: return true;
    case policy::Decision::denied: return false;
    case policy::Decision::undecided: break;
    }
    if (!policy::approvable(origin) || !questions_.canAsk())
        return false;
    std::lock_guard dialog(dialogMutex_);
    // Another call of the origin may have had its answer while this one waited for the dialog.
    switch (decisions_.decision(origin)) {
    case policy::Decision::allowed: return true;
    case policy::Decision::denied: return false;
    case policy::Decision::undecided: break;
    }
    if (!throttle_.mayAsk()) {
        log_(std::string("origin ").append(origin).append(": approval not asked, too many dialogs this minute"));
        return false;
    }
    const std::optional<ApprovalAnswer> answer = questions_.askApproval(origin);
    if (!answer) {
        log_(std::string("origin ").append(origin).append(": approval not answered"));
        return false;
    }
    const auto decision = answer->allow ? policy::Decision::allowed : policy::Decision::denied;
    if (!decisions_.remember(origin, decision, answer->remember))
        log_(std::string("origin ").append(origin).append(": the decision could not be stored"));
    log_(std::string("origin ").append(origin).append(answer->allow ? ": allowed" : ": denied")
             .append(answer->remember ? " (remembered)" : " (this run)"));
    return answer->allow;
}

bool Approvals::confirmDecrypt(const std::string& origin) {
    std::lock_guard dialog(dialogMutex_);
    return questions_.canAsk() && questions_.confirmDecrypt(origin);
}

} // namespace bridge::server
