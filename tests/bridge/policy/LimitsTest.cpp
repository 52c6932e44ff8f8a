#include "bridge/policy/ApprovalThrottle.h"
#include "bridge/policy/DecisionStore.h"
#include "bridge/policy/DecryptLimiter.h"

#include "TempRegistry.h"
#include "bridge/policy/StateFiles.h"
#include "platform/Registry.h"

#include <QFile>

namespace {

using namespace std::chrono_literals;
using bridge::policy::ApprovalThrottle;
using bridge::policy::DecryptLimiter;
using Clock = std::chrono::system_clock;

const Clock::time_point kStart = Clock::time_point(std::chrono::seconds(1'800'000'000));

using DecryptLimiterTest = TempRegistry;

TEST_F(DecryptLimiterTest, TenInAMinuteThenRefusedUntilTheOldestIsAMinuteOld) {
    DecryptLimiter limiter;
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(limiter.tryConsume("https://a.b", kStart + std::chrono::seconds(i))) << i;
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart + 10s));
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart + 59s));
    // Another origin has its own count.
    EXPECT_TRUE(limiter.tryConsume("https://c.d", kStart + 10s));
    // The refused calls were not counted: the first call's slot frees at 60 s.
    EXPECT_TRUE(limiter.tryConsume("https://a.b", kStart + 60s));
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart + 60s));
}

TEST_F(DecryptLimiterTest, AHundredADayCountedAcrossLimiterObjects) {
    for (int i = 0; i < 100; ++i) {
        DecryptLimiter fresh; // as after a worker or bridge restart
        EXPECT_TRUE(fresh.tryConsume("https://a.b", kStart + std::chrono::minutes(i))) << i;
    }
    DecryptLimiter limiter;
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart + 200min));
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart + 24h - 1s));
    EXPECT_TRUE(limiter.tryConsume("https://a.b", kStart + 24h));
}

TEST_F(DecryptLimiterTest, ForgettingTheOriginKeepsItsCount) {
    DecryptLimiter limiter;
    bridge::policy::DecisionStore store;
    ASSERT_TRUE(store.remember("https://a.b", bridge::policy::Decision::allowed));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(limiter.tryConsume("https://a.b", kStart));
    ASSERT_TRUE(store.forget("https://a.b"));
    EXPECT_EQ(store.decision("https://a.b"), bridge::policy::Decision::undecided);
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart + 1s));
}

TEST_F(DecryptLimiterTest, RefusesWhenTheCountCannotBeStoredOrTheOriginIsMalformed) {
    DecryptLimiter limiter;
    EXPECT_FALSE(limiter.tryConsume("HTTPS://A.B", kStart));
    EXPECT_FALSE(limiter.tryConsume("", kStart));
    ASSERT_TRUE(limiter.tryConsume("https://a.b", kStart));
    {
        QFile file(QString::fromStdString(bridge::policy::state::folder() + "/decrypt-calls"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("korvanng-bridge decrypt-calls 1\nhttps://a.b\t1800000000 x\n");
    }
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart));
    EXPECT_FALSE(limiter.tryConsume("https://c.d", kStart));
}

// Counts left in the registry store by an older bridge are moved, as that bridge read them.
TEST_F(DecryptLimiterTest, AClockSetBackDoesNotBlockForLongAndDamagedCountsAreSkipped) {
    auto key = platform::RegistryKey::create(platform::RegistryRoot::CurrentUser,
                                             bridge::policy::originKeyPath("https://a.b"));
    ASSERT_TRUE(key);
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(kStart.time_since_epoch()).count();
    std::string stamps;
    for (int i = 0; i < 9; ++i)
        stamps.append(std::to_string(now + 3 * 86400)).append(" "); // a year-long block if kept
    stamps.append("x -5 ").append(std::to_string(now - 10));
    ASSERT_TRUE(key->setString("DecryptCalls", stamps));
    DecryptLimiter limiter;
    for (int i = 0; i < 9; ++i)
        EXPECT_TRUE(limiter.tryConsume("https://a.b", kStart)) << i;
    EXPECT_FALSE(limiter.tryConsume("https://a.b", kStart));
}

TEST(ApprovalThrottle, ThreeDialogsAMinutePerDomainCountingThoseReserved) {
    ApprovalThrottle throttle;
    ASSERT_TRUE(throttle.reserve("evil.example", kStart));
    throttle.shown("evil.example", kStart);
    ASSERT_TRUE(throttle.reserve("evil.example", kStart + 1s));
    ASSERT_TRUE(throttle.reserve("evil.example", kStart + 2s));
    EXPECT_FALSE(throttle.reserve("evil.example", kStart + 3s)) << "reserved ones count before they are shown";
    EXPECT_TRUE(throttle.reserve("bank.example", kStart + 3s)) << "another domain has its own count";
    // Shown late, the reserved ones count for a minute from when they were shown.
    throttle.shown("evil.example", kStart + 50s);
    throttle.shown("evil.example", kStart + 51s);
    EXPECT_FALSE(throttle.reserve("evil.example", kStart + 59s));
    EXPECT_TRUE(throttle.reserve("evil.example", kStart + 60s));
    EXPECT_FALSE(throttle.reserve("evil.example", kStart + 61s));
    throttle.release("evil.example"); // not shown after all: its place is free again
    EXPECT_TRUE(throttle.reserve("evil.example", kStart + 61s));
    EXPECT_FALSE(throttle.reserve("evil.example", kStart + 109s));
    EXPECT_TRUE(throttle.reserve("evil.example", kStart + 110s));
}

TEST(ApprovalThrottle, AClockSetBackDoesNotCloseTheGateForLong) {
    ApprovalThrottle throttle;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(throttle.reserve("a.b", kStart));
        throttle.shown("a.b", kStart);
    }
    EXPECT_FALSE(throttle.reserve("a.b", kStart - 30s));
    EXPECT_TRUE(throttle.reserve("a.b", kStart - 1h));
}

TEST(ApprovalThrottle, DialogsAreCountedByRegistrableDomain) {
    using bridge::policy::registrableDomain;
    EXPECT_EQ(registrableDomain("https://x1.evil.example"), "evil.example");
    EXPECT_EQ(registrableDomain("https://a.b.evil.example:8443"), "evil.example");
    EXPECT_EQ(registrableDomain("https://www.bank.co.uk"), "bank.co.uk");
    EXPECT_EQ(registrableDomain("https://bank.co.uk."), "bank.co.uk");
    // Sites under a shared hosting suffix are told apart.
    EXPECT_EQ(registrableDomain("https://alice.github.io"), "alice.github.io");
    EXPECT_EQ(registrableDomain("https://a.alice.github.io"), "alice.github.io");
    EXPECT_EQ(registrableDomain("https://co.uk"), "co.uk");
    // IP literals and localhost are hosts of their own, whatever the port.
    EXPECT_EQ(registrableDomain("http://127.0.0.1:9000"), "127.0.0.1");
    EXPECT_EQ(registrableDomain("http://127.0.0.2:9000"), "127.0.0.2");
    EXPECT_EQ(registrableDomain("http://[::1]:9000"), "[::1]");
    EXPECT_EQ(registrableDomain("http://localhost:1"), "localhost");
}

} // namespace
