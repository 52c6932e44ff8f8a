// The QX_ members' container scan over the scripted CryptoAPI, where a provider can misbehave in
// ways the real ones do not.
#include "Enrolment.h"

#include "ScriptedCrypto.h"

#include "controls/ContainerNames.h"

#include <gtest/gtest.h>

namespace {

scripted::Container keyOnly(const std::string& name) {
    scripted::Container c;
    c.name = name;
    c.hasCertificate = false;
    return c;
}

TEST(EnrolmentScanTest, AProviderThatNeverEndsItsListCannotHoldTheMembers) {
    scripted::resetWorld();
    scripted::Provider& skyra = scripted::world().providers[certflows::kSkyraProvider];
    scripted::Container enrolled;
    enrolled.name = "enrolled";
    skyra.containers = {enrolled, keyOnly("pending")};
    skyra.emptyNamesForever = true;

    EnrolmentState state;
    CEnrolment enrolment(state);
    const certflows::StatusResult online = enrolment.IsOnline();
    EXPECT_LE(scripted::world().enumerationCalls, certflows::kMaxEnumerationCalls);
    ASSERT_TRUE(online.value.has_value());
    EXPECT_EQ(*online.value, certflows::kStatusOk);
    EXPECT_EQ(state.containerCount, 2u);
    EXPECT_STREQ(state.pendingContainer, "pending");
    EXPECT_EQ(scripted::world().liveHandles, 0);
}

} // namespace
