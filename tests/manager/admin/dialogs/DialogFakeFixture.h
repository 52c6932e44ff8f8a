#pragma once

// The program's slot model bound to the fake tables with the administration
// entries installed, for dialogs that use the process-wide instances.

#include "AdminFakeFixture.h"
#include "DialogTestSupport.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include <chrono>

class DialogFakeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ensureApplication(); }

    void SetUp() override {
        FakeSlotLibrary::reset();
        AdminFake::install(fake());
        TokenLibrary::instance().bindTables(&fake().functions, &fake().aux);
        SlotManager::instance().setPollInterval(std::chrono::hours(24));
        scoped_ = std::make_unique<ScopedMessagePresenter>(presenter);
    }
    void TearDown() override {
        scoped_.reset();
        SlotManager::instance().shutdown();
        TokenLibrary::instance().bindTables(nullptr, nullptr);
    }

    static FakeSlotLibrary& fake() { return FakeSlotLibrary::current(); }
    static AdminFake& admin() { return AdminFake::current(); }
    static SlotEntry* entry() { return SlotManager::instance().findSlot(1); }

    // Slot 1 with a token: PIN bounds 4..16, 32000 bytes of public and
    // 30000 of private memory, label "ABCDEFG".
    void startWithToken(FakeSlot slot = tokenSlot()) {
        slot.numbers[4] = 16;
        slot.numbers[5] = 4;
        slot.numbers[6] = 32000;
        slot.numbers[8] = 30000;
        fake().slotList.push_back(1);
        fake().slotMap[1] = slot;
        ASSERT_TRUE(SlotManager::instance().initialize());
        admin().calls.clear();
    }

    ScriptedPresenter presenter;
    std::unique_ptr<ScopedMessagePresenter> scoped_;
};
