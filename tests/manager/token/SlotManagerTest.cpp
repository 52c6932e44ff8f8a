#include "SlotTestSupport.h"

#include <thread>

namespace {

using SlotManagerTest = SlotTest;

std::vector<CK_SLOT_ID> listedSlots(const SlotManager& manager) {
    std::vector<CK_SLOT_ID> ids;
    for (const auto& [id, entry] : manager.allSlots()) {
        EXPECT_EQ(entry->slotId(), id);
        ids.push_back(id);
    }
    return ids;
}

TEST_F(SlotManagerTest, ZeroSlotsSucceedWithoutAMonitor) {
    EXPECT_TRUE(manager.initialize());
    EXPECT_TRUE(manager.allSlots().empty());
    EXPECT_FALSE(manager.monitorRunning());
    EXPECT_EQ(fake().pollCalls, 0);
}

TEST_F(SlotManagerTest, ListsSlotsInAscendingOrderAndSkipsUnreadableOnes) {
    FakeSlot broken = tokenSlot("Broken");
    broken.slotInfoResult = CKR_DEVICE_ERROR;
    addSlots({{7, tokenSlot()}, {3, emptySlot()}, {5, broken}, {4, tokenSlot("Reader C")}});

    ASSERT_TRUE(manager.initialize());
    EXPECT_EQ(listedSlots(manager), (std::vector<CK_SLOT_ID>{3, 4, 7}));
    EXPECT_EQ(manager.findSlot(5), nullptr);
    EXPECT_EQ(manager.findSlot(0), nullptr);
    ASSERT_NE(manager.findSlot(4), nullptr);
    EXPECT_EQ(manager.findSlot(4)->slotDescription(), "Reader C");
    EXPECT_TRUE(manager.monitorRunning());
}

TEST_F(SlotManagerTest, InitializeFailures) {
    addSlots({{1, tokenSlot()}, {2, tokenSlot()}});

    fake().slotListDrift = -1;
    EXPECT_FALSE(manager.initialize());
    EXPECT_FALSE(manager.monitorRunning());

    fake().slotListDrift = 1;
    EXPECT_FALSE(manager.initialize());

    fake().slotListDrift = 0;
    fake().slotListResult = CKR_DEVICE_ERROR;
    EXPECT_FALSE(manager.initialize());
    EXPECT_FALSE(manager.monitorRunning());

    library.bindTables(nullptr, nullptr);
    fake().slotListResult = CKR_OK;
    EXPECT_FALSE(manager.initialize());
    EXPECT_TRUE(manager.allSlots().empty());
}

TEST_F(SlotManagerTest, ShutdownStopsTheMonitorAndForgetsEverySlot) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(manager.findSlot(1)->getSession(&session), CKR_OK);

    EXPECT_TRUE(manager.shutdown());
    EXPECT_FALSE(manager.monitorRunning());
    EXPECT_TRUE(manager.allSlots().empty());
    EXPECT_EQ(manager.findSlot(1), nullptr);
    // Finalizing the library ends the session, not the manager.
    EXPECT_TRUE(fake().closedSessions.empty());
}

TEST_F(SlotManagerTest, StopWakesASleepingMonitor) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    ASSERT_TRUE(waitForFake([](FakeSlotLibrary& f) { return f.pollCalls >= 1; }));

    // The monitor now sleeps for a day; only a wake-up lets this return.
    manager.stopMonitor();
    EXPECT_FALSE(manager.monitorRunning());
    EXPECT_EQ(fake().pollFlags, std::vector<CK_FLAGS>{E_POLL_DONT_BLOCK});

    // A second stop finds nothing to wait for.
    manager.stopMonitor();
    EXPECT_FALSE(manager.monitorRunning());
}

TEST_F(SlotManagerTest, MonitorWithoutAVendorTableEndsAtOnce) {
    addSlots({{1, tokenSlot()}});
    library.bindTables(&fake().functions, nullptr);
    ASSERT_TRUE(manager.initialize());
    manager.stopMonitor();
    EXPECT_FALSE(manager.monitorRunning());
    EXPECT_EQ(fake().pollCalls, 0);
}

TEST_F(SlotManagerTest, InsertionIsAppliedBeforeTheEventIsPosted) {
    addSlots({{1, emptySlot()}});
    ASSERT_TRUE(manager.initialize());
    ASSERT_FALSE(manager.findSlot(1)->tokenPresent);
    manager.stopMonitor();

    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[1].flags |= CKF_TOKEN_PRESENT;
        fake().polls.push_back({CKR_OK, 1, E_EVENT_TOKEN_INSERTED});
    }
    manager.setPollInterval(std::chrono::milliseconds(1));
    ASSERT_TRUE(manager.initialize());
    ASSERT_TRUE(waitForEvents(1));

    std::vector<PostedEvent> posted = postedEvents();
    EXPECT_EQ(posted[0].slotId, 1u);
    EXPECT_EQ(posted[0].code, E_EVENT_TOKEN_INSERTED);
    EXPECT_TRUE(posted[0].tokenPresent);
    EXPECT_EQ(posted[0].label, "ABCDEFG");
    EXPECT_FALSE(manager.findSlot(1)->loggedIn);
}

TEST_F(SlotManagerTest, RemovalIsAppliedBeforeTheEventIsPosted) {
    addSlots({{1, tokenSlot()}});
    manager.setPollInterval(std::chrono::milliseconds(1));
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(entry->getSession(&session), CKR_OK);

    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[1].flags &= ~CKF_TOKEN_PRESENT;
        fake().polls.push_back({CKR_OK, 1, E_EVENT_TOKEN_REMOVED});
    }
    ASSERT_TRUE(waitForEvents(1));

    std::vector<PostedEvent> posted = postedEvents();
    EXPECT_EQ(posted[0].code, E_EVENT_TOKEN_REMOVED);
    EXPECT_FALSE(posted[0].tokenPresent);
    EXPECT_EQ(posted[0].label, "");
    manager.stopMonitor();
    EXPECT_EQ(fake().closedSessions, std::vector<CK_SESSION_HANDLE>{session});
}

TEST_F(SlotManagerTest, EveryEventCodeIsPostedAndFailedPollsAreRetried) {
    addSlots({{1, tokenSlot()}, {2, tokenSlot("Reader B")}});
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[99] = emptySlot("Unlisted");
        fake().polls = {
            {CKR_FUNCTION_FAILED, 0, 0},
            {CKR_OK, 2, E_EVENT_USER_PIN_CHANGED},
            {CKR_DEVICE_ERROR, 0, 0},
            {CKR_OK, 2, E_EVENT_SO_PIN_CHANGED},
            {CKR_OK, 1, E_EVENT_LABEL_CHANGED},
            {CKR_OK, 1, E_EVENT_TOKEN_REINITIALIZED},
            {CKR_OK, 0, 0},
            {CKR_OK, 1, 4},
            // A slot nobody listed: reported, nothing to update.
            {CKR_OK, 99, E_EVENT_TOKEN_REMOVED},
        };
    }
    manager.setPollInterval(std::chrono::milliseconds(1));
    ASSERT_TRUE(manager.initialize());
    ASSERT_TRUE(waitForEvents(7));
    manager.stopMonitor();

    std::vector<std::pair<CK_SLOT_ID, CK_ULONG>> posted;
    for (const auto& event : postedEvents())
        posted.emplace_back(event.slotId, event.code);
    EXPECT_EQ(posted, (std::vector<std::pair<CK_SLOT_ID, CK_ULONG>>{
                          {2, 6}, {2, 7}, {1, 8}, {1, 269}, {0, 0}, {1, 4}, {99, 2}}));
    EXPECT_GE(fake().pollCalls, 9);
    // Codes other than 1 and 2 leave the entries alone.
    EXPECT_TRUE(manager.findSlot(1)->tokenPresent);
    EXPECT_TRUE(manager.findSlot(2)->tokenRecognized);
}

TEST_F(SlotManagerTest, FailedSlotReadAfterAnEventDropsItAndPollsAgainAtOnce) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    manager.stopMonitor();
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[1].flags &= ~CKF_TOKEN_PRESENT;
        fake().slotInfoFailures = 1;
        fake().polls = {{CKR_OK, 1, E_EVENT_TOKEN_REMOVED}, {CKR_OK, 1, E_EVENT_LABEL_CHANGED}};
    }
    // With a day between polls, the second event only arrives if the failed
    // read skips the sleep.
    ASSERT_TRUE(manager.initialize());
    ASSERT_TRUE(waitForEvents(1));
    manager.stopMonitor();

    std::vector<PostedEvent> posted = postedEvents();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].code, E_EVENT_LABEL_CHANGED);
    // The removal was never applied.
    EXPECT_TRUE(posted[0].tokenPresent);
    EXPECT_TRUE(manager.findSlot(1)->tokenPresent);
}

TEST_F(SlotManagerTest, WithoutAPosterEventsAreDroppedButStillApplied) {
    addSlots({{1, tokenSlot()}});
    manager.setEventPoster(nullptr);
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[1].flags &= ~CKF_TOKEN_PRESENT;
        fake().polls = {{CKR_OK, 1, E_EVENT_TOKEN_REMOVED}};
    }
    manager.setPollInterval(std::chrono::milliseconds(1));
    ASSERT_TRUE(manager.initialize());
    ASSERT_TRUE(waitForFake([](FakeSlotLibrary& f) { return f.pollCalls >= 2; }));
    manager.stopMonitor();
    EXPECT_FALSE(manager.findSlot(1)->tokenPresent);
    EXPECT_TRUE(postedEvents().empty());
}

// A module without the vendor table, named by the user: the monitor reads
// the slots itself.
TEST_F(SlotManagerTest, WithoutTheEventQueryTokensThatComeAndGoAreFoundByPolling) {
    addSlots({{1, emptySlot()}, {2, tokenSlot("Reader B")}});
    library.bindTables(&fake().functions, nullptr, true);
    manager.setPollInterval(std::chrono::milliseconds(1));
    ASSERT_TRUE(manager.initialize());
    ASSERT_TRUE(manager.monitorRunning());

    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[1].flags |= CKF_TOKEN_PRESENT;
    }
    ASSERT_TRUE(waitForEvents(1));
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[2].flags &= ~CKF_TOKEN_PRESENT;
    }
    ASSERT_TRUE(waitForEvents(2));
    // A slot the module no longer knows holds no token.
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[2].flags |= CKF_TOKEN_PRESENT;
    }
    ASSERT_TRUE(waitForEvents(3));
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap.erase(2);
    }
    ASSERT_TRUE(waitForEvents(4));
    // A passing read failure is no removal; nothing more is reported.
    {
        std::lock_guard guard(fake().mutex);
        fake().slotInfoFailures = 3;
    }
    ASSERT_TRUE(waitForFake([](FakeSlotLibrary& f) { return f.slotInfoFailures == 0; }));
    manager.stopMonitor();

    std::vector<PostedEvent> posted = postedEvents();
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].slotId, 1u);
    EXPECT_EQ(posted[0].code, E_EVENT_TOKEN_INSERTED);
    EXPECT_TRUE(posted[0].tokenPresent);
    EXPECT_EQ(posted[0].label, "ABCDEFG");
    EXPECT_EQ(posted[1].slotId, 2u);
    EXPECT_EQ(posted[1].code, E_EVENT_TOKEN_REMOVED);
    EXPECT_FALSE(posted[1].tokenPresent);
    EXPECT_EQ(posted[2].code, E_EVENT_TOKEN_INSERTED);
    EXPECT_EQ(posted[3].code, E_EVENT_TOKEN_REMOVED);
    EXPECT_FALSE(manager.findSlot(2)->tokenPresent);
    EXPECT_TRUE(manager.findSlot(1)->tokenPresent);
    EXPECT_EQ(fake().pollCalls, 0);
}

TEST_F(SlotManagerTest, RescanAddsNewSlotsAndRereadsTheKnownOnes) {
    addSlots({{0, tokenSlot("Empty token")}});
    fake().slotMap[0].tokenFlags = 0;
    fake().slotMap[0].label = "";
    ASSERT_TRUE(manager.initialize());
    SlotEntry* first = manager.findSlot(0);

    // What an initialization can leave: the token under a new id, and an
    // empty token where it was, or no slot there at all.
    {
        std::lock_guard guard(fake().mutex);
        fake().slotMap[0].label = "fresh";
        fake().slotMap[0].tokenFlags = CKF_TOKEN_INITIALIZED;
        fake().slotList.push_back(0x2a2a);
        fake().slotMap[0x2a2a] = tokenSlot("Moved");
    }
    ASSERT_TRUE(manager.rescanSlots());
    EXPECT_EQ(listedSlots(manager), (std::vector<CK_SLOT_ID>{0, 0x2a2a}));
    EXPECT_EQ(manager.findSlot(0), first);
    EXPECT_EQ(first->tokenLabel(), "fresh");
    EXPECT_TRUE((first->tokenNumber(10) & CKF_TOKEN_INITIALIZED) != 0);
    ASSERT_NE(manager.findSlot(0x2a2a), nullptr);
    EXPECT_EQ(manager.findSlot(0x2a2a)->tokenLabel(), "ABCDEFG");

    {
        std::lock_guard guard(fake().mutex);
        fake().slotList = {0x2a2a};
        fake().slotMap.erase(0);
    }
    ASSERT_TRUE(manager.rescanSlots());
    EXPECT_EQ(manager.findSlot(0), first);
    EXPECT_FALSE(first->tokenPresent);
    EXPECT_EQ(first->tokenLabel(), "");

    fake().slotListResult = CKR_DEVICE_ERROR;
    EXPECT_FALSE(manager.rescanSlots());
    EXPECT_TRUE(manager.findSlot(0x2a2a)->tokenPresent);
}

} // namespace
