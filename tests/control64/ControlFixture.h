// The 64-bit control's tests share one process-wide token store (the providers keep their token
// link for the process) and the control module registered into its registry store.
#pragma once

#include "ControlHost.h"

#include <gtest/gtest.h>

#include <string>

namespace control64_test {

using control_host::Arg;
using control_host::CallResult;
using control_host::Control;
using control_host::TokenStore;

inline constexpr const char16_t* kProgId = u"QXMeridiaControl.SGN";

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    TokenStore& store() { return TokenStore::instance(); }
    // A new control object by ProgID.
    Control create();
    // Both providers and the control registered; a fresh token in slot 0 holding one
    // certificate of each marker kind (subject "Alice Base", and "Alice_TQB" for _Ex).
    void tokenWithIdentities(int bits = 2048);

    EVP_PKEY* baseKey_ = nullptr;
    X509* baseCertificate_ = nullptr;
    EVP_PKEY* markedKey_ = nullptr;
    X509* markedCertificate_ = nullptr;

private:
    control_host::ComApartment* apartment_ = nullptr;
};

// The status of a long member, with its HRESULT checked against the status (S_OK for 0).
std::string describe(const CallResult& result);

} // namespace control64_test
