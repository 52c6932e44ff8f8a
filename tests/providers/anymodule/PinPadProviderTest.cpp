// The Meridia provider over a reader with a PIN pad (our stand-in module in front of SoftHSM2):
// the login passes no PIN, and pinentry only tells the user to use the pad.
#include "SoftHsmTokenStore.h"

namespace softhsm_provider_test {
namespace {

Store& store() {
    static const bool wrapped = setenv("KORVAN_PINPAD_WRAPPED", SOFTHSM2_MODULE, 1) == 0;
    static Store instance(wrapped ? PINPAD_MODULE : "", false);
    return instance;
}

std::string padLog() {
    std::ifstream in(store().root + "/pad.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(PinPadProviderTest, TheLoginPassesNoPinAndTheUserIsToldToUseThePad) {
    ASSERT_TRUE(store().ready);
    setenv("KORVAN_PINPAD_LOG", (store().root + "/pad.log").c_str(), 1);
    const std::string name = idContainerName();
    const std::string data = "signed on a PIN pad";

    // Cancelled on the pad: the user's cancel, and no login.
    setenv("KORVAN_PINPAD_CANCEL", "1", 1);
    DWORD error = 0;
    EXPECT_TRUE(signMd5(name.c_str(), data, error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(SCARD_W_CANCELLED_BY_USER));
    unsetenv("KORVAN_PINPAD_CANCEL");

    setenv("KORVAN_PINPAD_PIN", kPin, 1);
    const Bytes signature = signMd5(name.c_str(), data, error);
    ASSERT_FALSE(signature.empty()) << std::hex << error;
    EXPECT_TRUE(verifiesMd5(store().certificate, data, signature));

    EXPECT_EQ(padLog(), "pad\npad\n");
    const std::string asked = store().pinentryLog();
    EXPECT_EQ(asked.find("GETPIN"), std::string::npos) << asked;
    EXPECT_NE(asked.find("on the PIN pad of its reader"), std::string::npos) << asked;
}

} // namespace
} // namespace softhsm_provider_test
