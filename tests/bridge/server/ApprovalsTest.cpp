// Approvals with a user who answers only when the test says so: the order questions are put in,
// which are refused at once, and that nothing waits behind an open dialog but questions.
#include "bridge/policy/DecisionStore.h"
#include "bridge/server/Approvals.h"
#include "bridge/server/QuestionQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace bridge::server;
using bridge::policy::Decision;
using bridge::policy::DecisionStore;
using namespace std::chrono_literals;

namespace {

constexpr const char* kBank = "https://bank.example";
constexpr const char* kEvil = "https://evil.example";

// Each question blocks until answer() is called; answers are taken in the order given.
class HeldUser : public UserQuestions {
public:
    bool canAsk() const override { return dialogs; }
    std::optional<ApprovalAnswer> askApproval(const std::string& origin) override {
        return hold("approve " + origin);
    }
    bool confirmDecrypt(const std::string& origin) override {
        const auto answer = hold("decrypt " + origin);
        return answer && answer->allow;
    }

    void answer(std::optional<ApprovalAnswer> given) {
        std::lock_guard lock(mutex_);
        answers_.push_back(given);
        changed_.notify_all();
    }
    // Blocks until `count` questions have been put.
    void waitAsked(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return asked_.size() >= count; });
    }
    std::vector<std::string> asked() {
        std::lock_guard lock(mutex_);
        return asked_;
    }
    int mostOpenAtOnce() {
        std::lock_guard lock(mutex_);
        return mostOpen_;
    }

private:
    std::optional<ApprovalAnswer> hold(const std::string& question) {
        std::unique_lock lock(mutex_);
        asked_.push_back(question);
        mostOpen_ = std::max(mostOpen_, ++open_);
        changed_.notify_all();
        changed_.wait(lock, [&] { return !answers_.empty(); });
        const auto given = answers_.front();
        answers_.pop_front();
        --open_;
        return given;
    }

public:
    std::atomic<bool> dialogs{true};

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> asked_;
    std::deque<std::optional<ApprovalAnswer>> answers_;
    int open_ = 0;
    int mostOpen_ = 0;
};

const ApprovalAnswer kAllow{true, false};

class ApprovalsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A stalled call ends the test program instead of blocking the run.
        ::alarm(30);
        char folder[] = "/tmp/bridge-approvals-test-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        folder_ = folder;
        ::setenv("KORVAN_REGISTRY_DIR", folder, 1);
        ::setenv("KORVAN_BRIDGE_STATE_DIR", folder, 1);
        approvals = std::make_unique<Approvals>(std::vector<std::string>{}, decisions, user, [this](const std::string& line) {
            std::lock_guard lock(logMutex_);
            log.push_back(line);
        });
    }
    void TearDown() override {
        approvals.reset();
        std::filesystem::remove_all(folder_);
        ::unsetenv("KORVAN_BRIDGE_STATE_DIR");
        ::alarm(0);
    }

    std::future<bool> approveLater(const std::string& origin) {
        return std::async(std::launch::async, [this, origin] { return approvals->approved(origin); });
    }
    std::future<bool> confirmLater(const std::string& origin) {
        return std::async(std::launch::async, [this, origin] { return approvals->confirmDecrypt(origin); });
    }
    // The answer of a call that must not wait for the open dialog; the bound only tells a stall
    // from a slow machine.
    static std::optional<bool> answeredWithoutWaiting(std::future<bool> call) {
        if (call.wait_for(10s) != std::future_status::ready)
            return std::nullopt;
        return call.get();
    }
    void untilWaiting(std::size_t questions, std::size_t callers) {
        while (approvals->questionsWaiting() != questions || approvals->callersWaiting() != callers)
            std::this_thread::yield();
    }
    bool logged(const std::string& needle) {
        std::lock_guard lock(logMutex_);
        return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.find(needle) != std::string::npos; });
    }

    DecisionStore decisions;
    HeldUser user;
    std::unique_ptr<Approvals> approvals;
    std::vector<std::string> log;

private:
    std::mutex logMutex_;
    std::string folder_;
};

TEST_F(ApprovalsTest, FreshSubdomainsOfOneSiteCannotCrowdOutAnotherSitesQuestion) {
    auto first = approveLater("https://s0.evil.example");
    user.waitAsked(1);
    auto second = approveLater("https://s1.evil.example");
    auto third = approveLater("https://s2.evil.example");
    untilWaiting(3, 3);
    // The domain's three dialogs this minute are taken: its next subdomains are refused at once.
    for (int i = 3; i < 12; ++i)
        EXPECT_EQ(answeredWithoutWaiting(approveLater("https://s" + std::to_string(i) + ".evil.example")), false) << i;
    EXPECT_TRUE(logged("too many dialogs this minute for evil.example"));

    auto bank = approveLater(kBank);
    untilWaiting(4, 4);
    user.answer(std::nullopt);
    user.waitAsked(2);
    EXPECT_EQ(user.asked()[1], std::string("approve ") + kBank) << "the other site goes before the next subdomain";
    user.answer(kAllow);
    user.answer(std::nullopt);
    user.answer(std::nullopt);
    EXPECT_TRUE(bank.get());
    EXPECT_FALSE(first.get());
    EXPECT_FALSE(second.get());
    EXPECT_FALSE(third.get());

    // Left unanswered is denied for this run only; refused unasked decides nothing.
    EXPECT_EQ(decisions.decision("https://s0.evil.example"), Decision::denied);
    EXPECT_EQ(DecisionStore().decision("https://s0.evil.example"), Decision::undecided);
    EXPECT_TRUE(DecisionStore().list().empty());
    EXPECT_EQ(decisions.decision("https://s3.evil.example"), Decision::undecided);
    EXPECT_EQ(user.asked().size(), 4u);
}

TEST_F(ApprovalsTest, NothingButQuestionsWaitsBehindAnOpenDialogAndOneOriginIsAskedOnce) {
    ASSERT_TRUE(decisions.remember(kBank, Decision::allowed, false));
    auto evil = approveLater(kEvil);
    user.waitAsked(1);

    EXPECT_EQ(answeredWithoutWaiting(approveLater(kBank)), true);
    auto decrypt = confirmLater(kBank);
    untilWaiting(2, 2);
    // Two first calls of one origin share one question.
    auto shopA = approveLater("https://shop.example");
    auto shopB = approveLater("https://shop.example");
    untilWaiting(3, 4);

    user.answer(ApprovalAnswer{false, false});
    user.answer(kAllow);
    user.answer(kAllow);
    EXPECT_FALSE(evil.get());
    EXPECT_TRUE(decrypt.get());
    EXPECT_TRUE(shopA.get());
    EXPECT_TRUE(shopB.get());
    const std::vector<std::string> expected = {"approve https://evil.example", "decrypt https://bank.example",
                                               "approve https://shop.example"};
    EXPECT_EQ(user.asked(), expected);
    EXPECT_EQ(user.mostOpenAtOnce(), 1) << "one dialog at a time";
}

TEST_F(ApprovalsTest, ANinthWaitingQuestionIsRefusedAtOnce) {
    ASSERT_TRUE(decisions.remember(kBank, Decision::allowed, false));
    std::vector<std::future<bool>> waiting;
    for (std::size_t i = 0; i < QuestionQueue::kMaxWaiting; ++i)
        waiting.push_back(approveLater("https://site" + std::to_string(i) + ".example"));
    user.waitAsked(1);
    untilWaiting(QuestionQueue::kMaxWaiting, QuestionQueue::kMaxWaiting);

    EXPECT_EQ(answeredWithoutWaiting(approveLater("https://ninth.example")), false);
    EXPECT_EQ(answeredWithoutWaiting(confirmLater(kBank)), false);
    EXPECT_TRUE(logged("too many questions waiting"));
    EXPECT_EQ(decisions.decision("https://ninth.example"), Decision::undecided);

    for (std::size_t i = 0; i < QuestionQueue::kMaxWaiting; ++i)
        user.answer(std::nullopt);
    for (auto& call : waiting)
        EXPECT_FALSE(call.get());
    EXPECT_EQ(user.asked().size(), QuestionQueue::kMaxWaiting);
    // The queue has room again.
    auto later = approveLater("https://ninth.example");
    user.answer(kAllow);
    EXPECT_TRUE(later.get());
}

TEST_F(ApprovalsTest, WithoutDialogsEachRefusalIsLoggedWithItsOriginAndWhy) {
    user.dialogs = false;
    EXPECT_FALSE(approvals->approved(kBank));
    EXPECT_FALSE(approvals->confirmDecrypt(kEvil));
    const std::vector<std::string> expected = {
        std::string("origin ") + kBank + ": approval not asked, approval dialogs are off: refused",
        std::string("origin ") + kEvil + ": decryption not asked, approval dialogs are off: refused"};
    EXPECT_EQ(log, expected);
    EXPECT_TRUE(user.asked().empty());
}

TEST(QuestionQueue, TakesTheDomainAskedLeastRecentlyAndOneAtATime) {
    QuestionQueue queue;
    const auto a1 = queue.push("a");
    const auto a2 = queue.push("a");
    const auto b1 = queue.push("b");
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_EQ(queue.next(), a1);
    EXPECT_EQ(queue.next(), std::nullopt) << "one is being asked";
    queue.finish(*a1);
    const auto c1 = queue.push("c");
    EXPECT_EQ(queue.next(), b1);
    queue.finish(*b1);
    EXPECT_EQ(queue.next(), c1) << "never asked goes before asked before";
    queue.finish(*c1);
    EXPECT_EQ(queue.next(), a2);
    queue.finish(*a2);
    EXPECT_EQ(queue.next(), std::nullopt);
}

} // namespace
