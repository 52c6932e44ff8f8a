// The control in a host without a Qt application of its own: the QApplication the module makes
// for a choice dialog, and a host without a display. Each case runs in a child process (this
// program again, one child case selected), so a crash or an abort shows as the child's end.
#include "ControlFixture.h"

#include <objbase.h>

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace control64_test {
namespace {

constexpr const char* kChildVariable = "KORVAN_APPLICATION_CHILD";

// The child's side: a token with two certificates the base family offers, so SetCertResult asks.
class ModuleApplicationChild : public ControlTest {
protected:
    void SetUp() override {
        if (!std::getenv(kChildVariable))
            GTEST_SKIP() << "runs as a child of ModuleApplicationTest";
        ControlTest::SetUp();
        tokenWithIdentities();
        static EVP_PKEY* key = control_host::testKey(2048, 2);
        ASSERT_TRUE(store().importIdentity(1, "C0000000-0000-0000-0000-00000000000C", key,
                                           control_host::selfSignedCertificate("Bob Base", key, 0x2001)));
    }

    // IsOnline, then SetCertResult: the dialog that nobody answers ends as a cancel.
    void unansweredChoice() {
        Control control = create();
        ASSERT_TRUE(control);
        ASSERT_EQ(control.call("IsOnline").status(), 0);
        EXPECT_EQ(control.call("SetCertResult").status(), 4);
    }
};

TEST_F(ModuleApplicationChild, TheModulesApplicationKeepsItLoaded) {
    unansweredChoice();
    CoFreeUnusedLibraries();
    void* module = dlopen(CONTROL_MODULE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr) << "the module went while its QApplication lives";
    auto canUnload = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_FALSE);
    dlclose(module);
    unansweredChoice(); // a second dialog on the same application
}

TEST_F(ModuleApplicationChild, NoDisplayEndsTheChoiceAsACancel) {
    Control control = create();
    ASSERT_TRUE(control);
    ASSERT_EQ(control.call("IsOnline").status(), 0);
    EXPECT_EQ(control.call("SetCertResult").status(), 4);
    EXPECT_EQ(control.call("GetCertName").hasValue(), false);
    // The host goes on.
    EXPECT_EQ(control.call("HashResult", {"abc"}).status(), 0);
    EXPECT_EQ(control.call("GetHash").text().size(), 32u);
}

// The parent's side: this program as a child, with `environment` in front of it.
control_host::ToolRun child(const std::string& environment, const std::string& testCase) {
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return {};
    return control_host::runCommand("env " + environment + " " + kChildVariable + "=1 " +
                                    std::string(self, static_cast<size_t>(length)) +
                                    " --gtest_filter=ModuleApplicationChild." + testCase);
}

void expectPassed(const control_host::ToolRun& run) {
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ] 1 test"), std::string::npos) << run.output;
}

TEST(ModuleApplicationTest, TheModulesApplicationKeepsItLoaded) {
    // Offscreen named by the host, and a one-second limit for the dialog nobody answers.
    expectPassed(child("QT_QPA_PLATFORM=offscreen KORVAN_USER_WAIT_S=1", "TheModulesApplicationKeepsItLoaded"));
}

TEST(ModuleApplicationTest, NoDisplayEndsTheChoiceAsACancel) {
    expectPassed(child("-u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb", "NoDisplayEndsTheChoiceAsACancel"));
}

} // namespace
} // namespace control64_test
