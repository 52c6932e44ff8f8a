// The provider's questions to the user, with a one-second wait limit and an observer that
// records what the process is told: each question is announced while it is open, and one nobody
// answers ends as a cancel.
#include "TokenProviderFixture.h"

#include "platform/win/UserWait.h"

#include <chrono>
#include <cstdlib>
#include <vector>

namespace token_provider_test {
namespace {

std::vector<int> announced;

void recordWait(int begins) {
    announced.push_back(begins);
}

class MeridiaUserWait : public TokenProviderTest {
protected:
    const ProviderUnderTest& provider() const override { return meridiaProvider(); }
    void SetUp() override {
        TokenProviderTest::SetUp();
        setenv("KORVAN_USER_WAIT_S", "1", 1);
        announced.clear();
        korvanSetUserWaitObserver(&recordWait);
    }
    void TearDown() override {
        korvanSetUserWaitObserver(nullptr);
        unsetenv("KORVAN_USER_WAIT_S");
        TokenProviderTest::TearDown();
    }
};

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(MeridiaUserWait, UnansweredQuestionsEndAsACancelAfterTheLimit) {
    Context context = acquire(nullptr);
    pinentryAnswers("hang");
    Clock::time_point start = Clock::now();
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_CANCELLED_BY_USER));
    // The limit, the second's room for pinentry to report its timeout, and start-up.
    double seconds = secondsSince(start);
    EXPECT_GE(seconds, 1.0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_EQ(logLine("SETTIMEOUT "), "SETTIMEOUT 1");
    EXPECT_EQ(announced, (std::vector<int>{1, 0}));

    // pinentry's own timeout is a cancel too.
    pinentryAnswers("timeout");
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_CANCELLED_BY_USER));
    EXPECT_EQ(announced, (std::vector<int>{1, 0, 1, 0}));

    // The question before a deletion, once logged in; the key set stays.
    pinentryAnswers("pin");
    ASSERT_EQ(pinStep(context.get()), 0u);
    pinentryAnswers("hang");
    announced.clear();
    start = Clock::now();
    EXPECT_EQ(acquireError(secondContainer, CRYPT_DELETEKEYSET), code(SCARD_W_CANCELLED_BY_USER));
    seconds = secondsSince(start);
    EXPECT_GE(seconds, 1.0);
    EXPECT_LT(seconds, 4.0);
    EXPECT_EQ(pinentryRuns("CONFIRM"), 1);
    EXPECT_EQ(announced, (std::vector<int>{1, 0}));
    EXPECT_EQ(containerObjects(secondContainer).size(), 3u);
}

TEST_F(MeridiaUserWait, NoQuestionNoAnnouncement) {
    Context context = acquire(nullptr);
    // A pinentry that cannot start never had the user's attention.
    setenv("KORVAN_PINENTRY", (root() + "/no-such-pinentry").c_str(), 1);
    EXPECT_EQ(pinStep(context.get()), code(NTE_FAIL));
    setenv("KORVAN_PINENTRY", SCRIPTED_PINENTRY, 1);
    EXPECT_TRUE(announced.empty());
    // Broken during the question: announced, and still a failure rather than a cancel.
    pinentryAnswers("eof");
    EXPECT_EQ(pinStep(context.get()), code(NTE_FAIL));
    EXPECT_EQ(announced, (std::vector<int>{1, 0}));
}

} // namespace
} // namespace token_provider_test
