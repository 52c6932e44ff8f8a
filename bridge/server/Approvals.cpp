#include "bridge/server/Approvals.h"

#include <algorithm>

#include "bridge/policy/Origin.h"

namespace bridge::server {

Approvals::Approvals(std::vector<std::string> allowList, policy::DecisionStore& decisions,
                     UserQuestions& questions, std::function<void(const std::string&)> log)
    : allowList_(std::move(allowList)), decisions_(decisions), questions_(questions), log_(std::move(log)),
      asker_([this] { askInTurn(); }) {}

Approvals::~Approvals() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    asker_.join();
}

bool Approvals::preApproved(const std::string& origin) const {
    return std::find(allowList_.begin(), allowList_.end(), origin) != allowList_.end();
}

bool Approvals::refusedOutright(const std::string& origin) const {
    return !preApproved(origin) && decisions_.decision(origin) == policy::Decision::denied;
}

std::optional<policy::Decision> Approvals::decided(const std::string& origin) const {
    const policy::Decision decision = decisions_.decision(origin);
    if (decision == policy::Decision::undecided)
        return std::nullopt;
    return decision;
}

std::size_t Approvals::questionsWaiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::size_t Approvals::callersWaiting() const {
    std::lock_guard lock(mutex_);
    return callersWaiting_;
}

bool Approvals::approved(const std::string& origin) {
    if (preApproved(origin))
        return true;
    if (const auto decision = decided(origin))
        return *decision == policy::Decision::allowed;
    if (!policy::approvable(origin))
        return false;
    if (!questions_.canAsk()) {
        // Why dialogs are off is told once at start-up; here, which call it cost.
        log_(std::string("origin ").append(origin).append(": approval not asked, approval dialogs are off: refused"));
        return false;
    }
    std::unique_lock lock(mutex_);
    QuestionPtr question;
    if (const auto it = approvalAsked_.find(origin); it != approvalAsked_.end()) {
        question = it->second;
    } else {
        // The answer is stored before its question leaves approvalAsked_, so a call that finds no
        // question here sees the decision.
        if (const auto decision = decided(origin))
            return *decision == policy::Decision::allowed;
        const std::string domain = policy::registrableDomain(origin);
        if (!queue_.full() && !stopping_ && !throttle_.reserve(domain, std::chrono::system_clock::now())) {
            log_(std::string("origin ").append(origin).append(": approval not asked, too many dialogs this minute for ")
                     .append(domain));
            return false;
        }
        question = enqueue(false, origin, domain); // refused only when not reserved
        if (!question)
            return false;
        approvalAsked_.emplace(origin, question);
    }
    return waitFor(lock, question);
}

bool Approvals::confirmDecrypt(const std::string& origin) {
    if (!questions_.canAsk()) {
        log_(std::string("origin ").append(origin).append(": decryption not asked, approval dialogs are off: refused"));
        return false;
    }
    std::unique_lock lock(mutex_);
    const QuestionPtr question = enqueue(true, origin, policy::registrableDomain(origin));
    return question && waitFor(lock, question);
}

Approvals::QuestionPtr Approvals::enqueue(bool decrypt, const std::string& origin, const std::string& domain) {
    const auto ticket = stopping_ ? std::nullopt : queue_.push(domain);
    if (!ticket) {
        log_(std::string("origin ").append(origin).append(": question not asked, too many questions waiting"));
        return nullptr;
    }
    auto question = std::make_shared<Question>(Question{decrypt, origin, domain});
    tickets_.emplace(*ticket, question);
    queued_.notify_one();
    return question;
}

bool Approvals::waitFor(std::unique_lock<std::mutex>& lock, const QuestionPtr& question) {
    ++callersWaiting_;
    answered_.wait(lock, [&] { return question->done; });
    --callersWaiting_;
    return question->answer;
}

void Approvals::askInTurn() {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::optional<QuestionQueue::Ticket> ticket;
        queued_.wait(lock, [&] { return stopping_ || (ticket = queue_.next()).has_value(); });
        if (!ticket)
            break;
        const QuestionPtr question = tickets_.at(*ticket);
        if (!question->decrypt)
            throttle_.shown(question->domain, std::chrono::system_clock::now());
        lock.unlock();
        const bool answer = ask(*question);
        lock.lock();
        queue_.finish(*ticket);
        tickets_.erase(*ticket);
        if (!question->decrypt)
            approvalAsked_.erase(question->origin);
        question->answer = answer;
        question->done = true;
        answered_.notify_all();
    }
    // Ending: what is still queued is refused unasked.
    for (auto& [ticket, question] : tickets_) {
        if (!question->decrypt)
            throttle_.release(question->domain);
        question->done = true;
        queue_.finish(ticket);
    }
    tickets_.clear();
    approvalAsked_.clear();
    answered_.notify_all();
}

bool Approvals::ask(const Question& question) {
    return question.decrypt ? questions_.confirmDecrypt(question.origin) : askApproval(question.origin);
}

bool Approvals::askApproval(const std::string& origin) {
    const std::optional<ApprovalAnswer> answer = questions_.askApproval(origin);
    // A dialog left unanswered is a refusal for this run, so that the page cannot raise it again
    // at once and the user's silence is not taken for consent later.
    const ApprovalAnswer taken = answer.value_or(ApprovalAnswer{false, false});
    const auto decision = taken.allow ? policy::Decision::allowed : policy::Decision::denied;
    if (!decisions_.remember(origin, decision, taken.remember))
        log_(std::string("origin ").append(origin).append(": the decision could not be stored"));
    if (!answer)
        log_(std::string("origin ").append(origin).append(": approval not answered, denied (this run)"));
    else
        log_(std::string("origin ").append(origin).append(taken.allow ? ": allowed" : ": denied")
                 .append(taken.remember ? " (remembered)" : " (this run)"));
    return taken.allow;
}

} // namespace bridge::server
