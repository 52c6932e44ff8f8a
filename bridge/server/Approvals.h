// Which origins may use the controls: the allow list, the user's remembered and this run's
// answers, and the approval and decryption questions put to the user. Free of HTTP.
//
// Questions go into a bounded queue and are put to the user one at a time by a thread of this
// object's own; no lock is held while the user decides, so calls that need no question are
// answered at once and every other question is queued or refused at once, never stalled.
#pragma once

#include "bridge/policy/ApprovalThrottle.h"
#include "bridge/policy/DecisionStore.h"
#include "bridge/server/QuestionQueue.h"
#include "bridge/server/UserQuestions.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace bridge::server {

class Approvals {
public:
    // allowList: normalized origins, approved without a question.
    Approvals(std::vector<std::string> allowList, policy::DecisionStore& decisions, UserQuestions& questions,
              std::function<void(const std::string&)> log);
    // Waits for a question being asked to end and refuses the queued ones. No call may be
    // inside approved() or confirmDecrypt() any more.
    ~Approvals();
    Approvals(const Approvals&) = delete;
    Approvals& operator=(const Approvals&) = delete;

    bool preApproved(const std::string& origin) const;
    // Denied, and so refused without a question (a preflight is answered from this).
    bool refusedOutright(const std::string& origin) const;
    // Approved, asking the user when the origin is undecided and a question may be put. Calls
    // of one origin made while its question waits share that question and its answer.
    bool approved(const std::string& origin);
    // Asks the user whether the origin may decrypt; false when no one can be asked.
    bool confirmDecrypt(const std::string& origin);

    // Questions queued or being asked, and the calls waiting for their answers.
    std::size_t questionsWaiting() const;
    std::size_t callersWaiting() const;

private:
    struct Question {
        bool decrypt = false;
        std::string origin;
        std::string domain;
        bool done = false;
        bool answer = false;
    };
    using QuestionPtr = std::shared_ptr<Question>;

    // Under mutex_: queues the question, or nullptr (logged) when the queue is full.
    QuestionPtr enqueue(bool decrypt, const std::string& origin, const std::string& domain);
    bool waitFor(std::unique_lock<std::mutex>& lock, const QuestionPtr& question);
    void askInTurn();
    bool ask(const Question& question); // without mutex_
    bool askApproval(const std::string& origin);
    std::optional<policy::Decision> decided(const std::string& origin) const;

    std::vector<std::string> allowList_;
    policy::DecisionStore& decisions_;
    UserQuestions& questions_;
    std::function<void(const std::string&)> log_;
    policy::ApprovalThrottle throttle_;

    mutable std::mutex mutex_; // the queue and the questions' states, never held while asking
    std::condition_variable queued_;
    std::condition_variable answered_;
    QuestionQueue queue_;
    std::map<QuestionQueue::Ticket, QuestionPtr> tickets_;
    std::unordered_map<std::string, QuestionPtr> approvalAsked_; // origin -> its waiting question
    std::size_t callersWaiting_ = 0;
    bool stopping_ = false;
    std::thread asker_;
};

} // namespace bridge::server
