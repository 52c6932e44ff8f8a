#include "ControlFixture.h"

#include <sstream>

namespace control64_test {

void ControlTest::SetUp() {
    ASSERT_FALSE(store().root().empty());
    store().pinentryAnswers("pin");
    ASSERT_EQ(control_host::registerProviders(), S_OK);
    ASSERT_EQ(control_host::registerModule(CONTROL_MODULE), S_OK);
    apartment_ = new control_host::ComApartment;
}

void ControlTest::TearDown() {
    delete apartment_;
}

Control ControlTest::create() {
    HRESULT hr = E_FAIL;
    Control control = Control::create(kProgId, &hr);
    EXPECT_EQ(hr, S_OK);
    return control;
}

void ControlTest::tokenWithIdentities(int bits) {
    store().removeAllTokens();
    ASSERT_FALSE(store().freshToken(1).empty());
    static long serial = 0x1000;
    baseKey_ = control_host::testKey(bits, 0);
    markedKey_ = control_host::testKey(bits, 1);
    baseCertificate_ = control_host::selfSignedCertificate("Alice Base", baseKey_, ++serial);
    markedCertificate_ = control_host::selfSignedCertificate("Alice_TQB", markedKey_, ++serial);
    ASSERT_TRUE(store().importIdentity(1, "C0000000-0000-0000-0000-00000000000A", baseKey_,
                                       baseCertificate_));
    ASSERT_TRUE(store().importIdentity(1, "C0000000-0000-0000-0000-00000000000B", markedKey_,
                                       markedCertificate_));
}

std::string describe(const CallResult& result) {
    std::ostringstream text;
    text << "hr " << result.hr << ", value "
         << (result.value().vt == VT_I4 ? std::to_string(result.status()) : result.text());
    return text.str();
}

} // namespace control64_test
