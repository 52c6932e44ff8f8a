// Fixture pieces shared by the slot tests: a manager bound to the fake
// tables and a recorder for the events it posts.
#pragma once

#include "FakeSlotLibrary.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

// A slot holding a token whose fields are all padded by the fake.
inline FakeSlot tokenSlot(const std::string& description = "Reader A") {
    FakeSlot slot;
    slot.description = description;
    slot.manufacturer = "Slot Maker";
    slot.flags = CKF_TOKEN_PRESENT | CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    slot.hardwareVersion = {1, 5};
    slot.firmwareVersion = {1, 12};
    slot.label = "ABCDEFG";
    slot.model = "Model X";
    slot.serialNumber = "123456789012";
    slot.utcTime = "2024010112000000";
    slot.tokenFlags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED;
    slot.tokenHardwareVersion = {2, 0};
    slot.tokenFirmwareVersion = {3, 10};
    return slot;
}

inline FakeSlot emptySlot(const std::string& description = "Reader B") {
    FakeSlot slot = tokenSlot(description);
    slot.flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    return slot;
}

struct PostedEvent {
    CK_SLOT_ID slotId;
    CK_ULONG code;
    bool tokenPresent;
    std::string label;
};

class SlotTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeSlotLibrary::reset();
        library.bindTables(&fake().functions, &fake().aux);
        // Most tests want a quiet monitor; the monitor tests shorten this.
        manager.setPollInterval(std::chrono::hours(24));
        manager.setEventPoster([this](CK_SLOT_ID slotId, CK_ULONG code) {
            SlotEntry* entry = manager.findSlot(slotId);
            PostedEvent posted{slotId, code, entry != nullptr && entry->tokenPresent,
                               entry != nullptr ? entry->tokenLabel() : std::string()};
            std::lock_guard guard(postedMutex);
            events.push_back(posted);
            postedChanged.notify_all();
        });
    }
    void TearDown() override {
        manager.shutdown();
        library.bindTables(nullptr, nullptr);
    }

    static FakeSlotLibrary& fake() { return FakeSlotLibrary::current(); }

    void addSlots(std::vector<std::pair<CK_SLOT_ID, FakeSlot>> list) {
        for (auto& [id, slot] : list) {
            fake().slotList.push_back(id);
            fake().slotMap[id] = slot;
        }
    }

    // Generous bound so a broken monitor fails instead of hanging; never a
    // measure of speed.
    bool waitForEvents(size_t count) {
        std::unique_lock guard(postedMutex);
        return postedChanged.wait_for(guard, std::chrono::seconds(20),
                                      [&] { return events.size() >= count; });
    }
    std::vector<PostedEvent> postedEvents() {
        std::lock_guard guard(postedMutex);
        return events;
    }
    bool waitForFake(const std::function<bool(FakeSlotLibrary&)>& condition) {
        std::unique_lock guard(fake().mutex);
        return fake().changed.wait_for(guard, std::chrono::seconds(20),
                                       [&] { return condition(fake()); });
    }

    TokenLibrary library;
    SlotManager manager{library};

    std::mutex postedMutex;
    std::condition_variable postedChanged;
    std::vector<PostedEvent> events;
};
