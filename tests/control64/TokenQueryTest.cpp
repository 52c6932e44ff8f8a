// Token serials and counts through both token libraries, with zero, one and two tokens present.
#include "ControlFixture.h"

namespace control64_test {
namespace {

using TokenQueryTest = ControlTest;

const char* const kSerialMembers[] = {"GetTokenSerial_Ex", "QX_GetTokenSerial",
                                      "md_GetTokenSerial"};
const char* const kCountMembers[] = {"RefreshToken_Ex", "QX_RefreshToken", "md_RefreshToken"};

TEST_F(TokenQueryTest, NoTokenGivesMinusOne) {
    store().removeAllTokens();
    Control control = create();
    for (const char* member : kSerialMembers) {
        const CallResult serial = control.call(member);
        EXPECT_EQ(serial.hr, S_OK) << member;
        EXPECT_EQ(serial.text(), "-1") << member;
    }
    for (const char* member : kCountMembers)
        EXPECT_EQ(control.call(member).status(), -1) << member;
    EXPECT_EQ(control.call("GetTokenSerial").text(), "-1") << "BaseMode None";
    EXPECT_FALSE(control.call("RefreshToken").hasValue()) << "BaseMode None";
}

TEST_F(TokenQueryTest, OneTokenIsSeenThroughBothLibraries) {
    store().removeAllTokens();
    ASSERT_FALSE(store().freshToken(2).empty());
    const std::string serial = store().tokenSerial(2);
    ASSERT_EQ(serial.size(), 16u);
    Control control = create();
    for (const char* member : kSerialMembers)
        EXPECT_EQ(control.call(member).text(), serial) << member << ": 16 characters, blank padded";
    for (const char* member : kCountMembers)
        EXPECT_EQ(control.call(member).status(), 1) << member;

    // The base family follows the Skyra library once IsOnline opened the Skyra provider.
    ASSERT_EQ(control.call("IsOnline").status(), 0);
    EXPECT_EQ(control.call("GetTokenSerial").text(), serial);
    EXPECT_EQ(control.call("RefreshToken").status(), 1);
}

TEST_F(TokenQueryTest, TwoTokensAreCountedAndTheFirstListedSlotGivesTheSerial) {
    store().removeAllTokens();
    ASSERT_FALSE(store().freshToken(3).empty());
    ASSERT_FALSE(store().freshToken(2).empty());
    const std::string first = store().tokenSerial(2);
    ASSERT_NE(first, store().tokenSerial(3));
    Control control = create();
    for (const char* member : kCountMembers)
        EXPECT_EQ(control.call(member).status(), 2) << member;
    for (const char* member : kSerialMembers)
        EXPECT_EQ(control.call(member).text(), first) << member;

    store().removeToken(2);
    EXPECT_EQ(control.call("md_RefreshToken").status(), 1) << "each call loads the library afresh";
    EXPECT_EQ(control.call("QX_GetTokenSerial").text(), store().tokenSerial(3));
}

} // namespace
} // namespace control64_test

namespace control64_test {
namespace {

TEST_F(TokenQueryTest, MoreTokensThanTokenRecordsAreCountedWithoutReadingPastTheRecords) {
    store().removeAllTokens();
    for (int slot = 1; slot <= 11; ++slot)
        ASSERT_FALSE(store().freshToken(slot).empty()) << slot;
    Control control = create();
    EXPECT_EQ(control.call("RefreshToken_Ex").status(), 11);
    EXPECT_EQ(control.call("md_GetTokenSerial").text(), store().tokenSerial(1));
}

} // namespace
} // namespace control64_test

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace control64_test {
namespace {

// The providers read the configured library once per process, so the case runs in a child of
// its own with KORVAN_TOKEN_LIBRARY naming the plain token module by path: the library the token
// queries load too, and finalize after each query.
TEST_F(TokenQueryTest, AQueryFinalizingTheConfiguredLibraryBetweenTwoSignaturesAsksForNoNewPin) {
    const char* configured = std::getenv("KORVAN_TOKEN_LIBRARY");
    if (!configured || std::string(configured) != CONTROL_HOST_MERIDIA_TOKEN_MODULE) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            setenv("KORVAN_TOKEN_LIBRARY", CONTROL_HOST_MERIDIA_TOKEN_MODULE, 1);
            execl("/proc/self/exe", "control64_tests",
                  "--gtest_filter=TokenQueryTest."
                  "AQueryFinalizingTheConfiguredLibraryBetweenTwoSignaturesAsksForNoNewPin",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        return;
    }

    tokenWithIdentities();
    Control control = create();
    ASSERT_EQ(control.call("IsOnline").status(), 0);
    ASSERT_EQ(control.call("SetCertResult").status(), 0);
    ASSERT_EQ(control.call("SignResult", {"first"}).status(), 0);
    const int asked = store().pinRequests();
    EXPECT_EQ(control.call("QX_GetTokenSerial").text(), store().tokenSerial(1));
    EXPECT_EQ(control.call("RefreshToken_Ex").status(), 1);
    ASSERT_EQ(control.call("SignResult", {"second"}).status(), 0);
    EXPECT_EQ(store().pinRequests(), asked);
    EXPECT_TRUE(control_host::opensslVerifies(baseKey_, EVP_md5(), "second",
                                              control_host::fromHex(control.call("GetSignature").text())));
}

} // namespace
} // namespace control64_test
