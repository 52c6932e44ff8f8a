// The slot fixture over the fake tables, with the entries the administration
// operations need on top: every call is logged in order, results and the
// token's state after a failed login are scripted, and what E_InitToken
// received is copied while the call runs.
#pragma once

#include "AdminContext.h"
#include "MessagePresenter.h"
#include "SlotTestSupport.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct AdminFake {
    std::vector<std::string> calls;
    CK_RV setPinResult = CKR_OK;
    CK_RV initPinResult = CKR_OK;
    CK_RV initTokenResult = CKR_OK;
    CK_RV pinErrorCountsResult = CKR_OK;
    PinErrorCounts pinErrorCounts{};
    // Applied to the slot's token by a failing C_Login, as a real token
    // updates its PIN flags.
    std::optional<CK_FLAGS> flagsAfterFailedLogin;
    std::optional<CK_RV> tokenInfoResultAfterFailedLogin;
    // When set, C_Login behaves like a token whose PINs allow this many
    // wrong attempts: every PIN is wrong, the PIN flags follow the count, and
    // once the limit is reached the login answers CKR_PIN_LOCKED.
    int retryLimit = 0;
    int failures = 0;
    // What C_GetSessionInfo reports for every session.
    CK_STATE sessionState = CKS_RW_PUBLIC_SESSION;

    // Copies of what E_InitToken received.
    std::vector<std::uint8_t> initRecord;
    std::string initLabel, initSoPin, initUserPin;
    // PINs handed to C_Login, C_SetPIN and C_InitPIN, in order.
    std::vector<std::string> pins;

    static AdminFake& current();
    // Resets the record and installs the entries into the fake tables.
    static void install(FakeSlotLibrary& fake);
};

class AdminFakeTest : public SlotTest {
protected:
    void SetUp() override {
        SlotTest::SetUp();
        AdminFake::install(fake());
        scoped_ = std::make_unique<ScopedMessagePresenter>(presenter);
    }
    void TearDown() override {
        scoped_.reset();
        SlotTest::TearDown();
    }

    // One slot (id 1) holding a token with PIN bounds 4..16 and memory
    // totals; the manager is initialized over it.
    void startWithToken(FakeSlot slot = tokenSlot()) {
        slot.numbers[4] = 16;    // max PIN length
        slot.numbers[5] = 4;     // min PIN length
        slot.numbers[6] = 32000; // total public memory
        slot.numbers[8] = 30000; // total private memory
        addSlots({{1, slot}});
        ASSERT_TRUE(manager.initialize());
        AdminFake::current().calls.clear();
    }

    AdminContext context() { return {manager, library}; }

    // Every message shown, as (id, text, flags).
    const std::vector<MessageRequest>& messages() const { return presenter.requests(); }

    ScriptedPresenter presenter;
    std::unique_ptr<ScopedMessagePresenter> scoped_;
};
