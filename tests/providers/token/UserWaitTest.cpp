// A PIN question nobody answers, with a one-second wait limit and an observer recording what the
// process is told (1 begins, 0 ends).
#include "TokenProviderFixture.h"

#include "platform/win/UserWait.h"

#include <chrono>
#include <vector>

namespace token_provider_test {
namespace {

std::vector<int> announced;

class MeridiaUserWait : public TokenProviderTest {
protected:
    const ProviderUnderTest& provider() const override { return meridiaProvider(); }
};

TEST_F(MeridiaUserWait, UnansweredQuestionEndsAsACancelAfterTheLimit) {
    setenv("KORVAN_USER_WAIT_S", "1", 1);
    korvanSetUserWaitObserver([](int begins) { announced.push_back(begins); });
    Context context = acquire(nullptr);
    pinentryAnswers("hang");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_CANCELLED_BY_USER));
    // The limit and the second's room for pinentry to report its own timeout, plus start-up.
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    EXPECT_GE(seconds.count(), 1.0);
    EXPECT_LT(seconds.count(), 4.0);
    EXPECT_EQ(logLine("SETTIMEOUT "), "SETTIMEOUT 1");
    EXPECT_EQ(announced, (std::vector<int>{1, 0}));

    // pinentry's own timeout is a cancel too.
    pinentryAnswers("timeout");
    EXPECT_EQ(pinStep(context.get()), code(SCARD_W_CANCELLED_BY_USER));
    EXPECT_EQ(announced, (std::vector<int>{1, 0, 1, 0}));
    korvanSetUserWaitObserver(nullptr);
    unsetenv("KORVAN_USER_WAIT_S");
}

} // namespace
} // namespace token_provider_test
