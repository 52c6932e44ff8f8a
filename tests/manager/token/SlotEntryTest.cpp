#include "AttributeRead.h"
#include "SlotTestSupport.h"
#include "VersionText.h"

#include <algorithm>

namespace {

using SlotEntryTest = SlotTest;

const CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};

TEST(VersionTextTest, MinorBelowTenGetsALeadingZero) {
    EXPECT_EQ(versionText({1, 5}), "1.05");
    EXPECT_EQ(versionText({1, 12}), "1.12");
    EXPECT_EQ(versionText({0, 0}), "0.00");
    EXPECT_EQ(versionText({2, 10}), "2.10");
    EXPECT_EQ(versionText({255, 255}), "255.255");
}

TEST_F(SlotEntryTest, CachesSlotAndTokenInformationWithTrailingBlanksCut) {
    FakeSlot slot = tokenSlot();
    for (CK_ULONG i = 0; i < 10; ++i)
        slot.numbers[i] = 100 + i; // max sessions 100 ... free private memory 109
    addSlots({{1, slot}});
    ASSERT_TRUE(manager.initialize());

    SlotEntry* entry = manager.findSlot(1);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(entry->tokenPresent);
    EXPECT_TRUE(entry->tokenRecognized);
    EXPECT_FALSE(entry->loggedIn);
    EXPECT_EQ(entry->slotDescription(), "Reader A");
    EXPECT_EQ(entry->slotFlags(), slot.flags);
    EXPECT_EQ(entry->slotHardwareVersionText(), "1.05");
    EXPECT_EQ(entry->slotFirmwareVersionText(), "1.12");
    // Seven letters padded with 25 blanks.
    EXPECT_EQ(entry->tokenLabel(), "ABCDEFG");

    EXPECT_EQ(entry->tokenText(11), "Slot Maker");
    EXPECT_EQ(entry->tokenText(12), "Model X");
    // The serial number keeps the blanks that pad it to 16 characters.
    EXPECT_EQ(entry->tokenText(13), "123456789012    ");
    EXPECT_EQ(entry->tokenText(14), "ABCDEFG");
    EXPECT_EQ(entry->tokenText(15), "2024010112000000");
    EXPECT_EQ(entry->tokenText(16), "2.00");
    EXPECT_EQ(entry->tokenText(17), "3.10");
    EXPECT_EQ(entry->tokenText(10), "");
    EXPECT_EQ(entry->tokenText(18), "");
    EXPECT_EQ(entry->tokenText(-1), "");

    const CK_ULONG expected[] = {108, 106, 109, 107, 104, 105, 102, 103, 100, 101};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(entry->tokenNumber(i), expected[i]) << "index " << i;
    EXPECT_EQ(entry->tokenNumber(10), slot.tokenFlags);
    EXPECT_EQ(entry->tokenNumber(11), 0u);
    EXPECT_EQ(entry->tokenNumber(-1), 0u);
}

TEST_F(SlotEntryTest, TextFieldsEndAtANul) {
    FakeSlot slot = tokenSlot();
    slot.label = std::string("AB\0CD", 5);
    addSlots({{1, slot}});
    ASSERT_TRUE(manager.initialize());
    EXPECT_EQ(manager.findSlot(1)->tokenLabel(), "AB");
}

TEST_F(SlotEntryTest, TokenWhoseInfoFailsIsPresentButNotRecognized) {
    FakeSlot slot = tokenSlot();
    slot.tokenInfoResult = 0xE0;
    addSlots({{1, slot}});
    ASSERT_TRUE(manager.initialize());

    SlotEntry* entry = manager.findSlot(1);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(entry->tokenPresent);
    EXPECT_FALSE(entry->tokenRecognized);
    EXPECT_EQ(entry->tokenLabel(), "");
    EXPECT_EQ(entry->tokenText(12), "");
    // Still a successful refresh: the slot was read and the token looked at.
    EXPECT_TRUE(entry->refreshTokenInfo());
}

TEST_F(SlotEntryTest, WithoutATokenOperationsReportRemovalAndCallNothing) {
    addSlots({{1, emptySlot()}});
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);
    ASSERT_NE(entry, nullptr);

    EXPECT_FALSE(entry->tokenPresent);
    EXPECT_EQ(entry->login(pin, sizeof pin), CKR_DEVICE_REMOVED);
    EXPECT_EQ(entry->logout(), CKR_DEVICE_REMOVED);
    EXPECT_FALSE(entry->refreshTokenInfo());
    EXPECT_FALSE(entry->loadObjects());
    EXPECT_TRUE(fake().loginSessions.empty());
    EXPECT_TRUE(fake().logoutSessions.empty());
    EXPECT_EQ(fake().findInitCalls, 0);
    EXPECT_TRUE(fake().openSessions.empty());
}

TEST_F(SlotEntryTest, GetSessionOpensOnceAndReportsFailures) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);

    EXPECT_EQ(entry->getSession(nullptr), CKR_ARGUMENTS_BAD);

    fake().openSessionResult = CKR_TOKEN_NOT_RECOGNIZED;
    CK_SESSION_HANDLE session = 77;
    EXPECT_EQ(entry->getSession(&session), CKR_TOKEN_NOT_RECOGNIZED);
    EXPECT_EQ(session, 0u);

    fake().openSessionResult = CKR_OK;
    ASSERT_EQ(entry->getSession(&session), CKR_OK);
    EXPECT_NE(session, 0u);
    CK_SESSION_HANDLE again = 0;
    ASSERT_EQ(entry->getSession(&again), CKR_OK);
    EXPECT_EQ(again, session);
    EXPECT_EQ(fake().openSessions.size(), 1u);
}

TEST_F(SlotEntryTest, UnboundLibraryGivesGeneralError) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    manager.stopMonitor();
    SlotEntry* entry = manager.findSlot(1);
    library.bindTables(nullptr, nullptr);

    CK_SESSION_HANDLE session = 77;
    EXPECT_EQ(entry->getSession(&session), CKR_GENERAL_ERROR);
    EXPECT_EQ(session, 0u);
    EXPECT_EQ(entry->login(pin, sizeof pin), CKR_GENERAL_ERROR);
    EXPECT_EQ(entry->logout(), CKR_GENERAL_ERROR);
    EXPECT_EQ(entry->setLabel("New"), CKR_GENERAL_ERROR);
    EXPECT_FALSE(entry->refreshSlotInfo());
    EXPECT_FALSE(entry->refreshTokenInfo());
    EXPECT_FALSE(entry->loadObjects());
}

TEST_F(SlotEntryTest, LoginKeepsTheSessionOnlyOnSuccess) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);

    EXPECT_EQ(entry->login(pin, sizeof pin), CKR_OK);
    EXPECT_TRUE(entry->loggedIn);
    ASSERT_EQ(fake().loginSessions.size(), 1u);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(entry->getSession(&session), CKR_OK);
    EXPECT_EQ(session, fake().loginSessions[0]);
    EXPECT_TRUE(fake().closedSessions.empty());
}

TEST_F(SlotEntryTest, AlreadyLoggedInCountsAsLoggedInButClosesTheSession) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);
    fake().loginResult = CKR_USER_ALREADY_LOGGED_IN;

    EXPECT_EQ(entry->login(pin, sizeof pin), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_TRUE(entry->loggedIn);
    ASSERT_EQ(fake().loginSessions.size(), 1u);
    EXPECT_EQ(fake().closedSessions, fake().loginSessions);
    EXPECT_TRUE(fake().openSessions.empty());

    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(entry->getSession(&session), CKR_OK);
    EXPECT_NE(session, fake().loginSessions[0]);
}

TEST_F(SlotEntryTest, RefusedLoginClosesTheSession) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);
    fake().loginResult = CKR_PIN_INCORRECT;

    EXPECT_EQ(entry->login(pin, sizeof pin), CKR_PIN_INCORRECT);
    EXPECT_FALSE(entry->loggedIn);
    EXPECT_EQ(fake().closedSessions, fake().loginSessions);
    EXPECT_TRUE(fake().openSessions.empty());

    fake().openSessionResult = CKR_DEVICE_MEMORY;
    EXPECT_EQ(entry->login(pin, sizeof pin), CKR_DEVICE_MEMORY);
    EXPECT_EQ(fake().loginSessions.size(), 1u);
}

TEST_F(SlotEntryTest, LogoutClosesTheSessionAndClearsTheStateWhateverTheAnswers) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);
    ASSERT_EQ(entry->login(pin, sizeof pin), CKR_OK);
    CK_SESSION_HANDLE first = fake().loginSessions.at(0);

    EXPECT_EQ(entry->logout(), CKR_OK);
    EXPECT_FALSE(entry->loggedIn);
    EXPECT_EQ(fake().logoutSessions, std::vector<CK_SESSION_HANDLE>{first});
    EXPECT_EQ(fake().closedSessions, std::vector<CK_SESSION_HANDLE>{first});
    EXPECT_TRUE(fake().openSessions.empty());

    CK_SESSION_HANDLE next = 0;
    ASSERT_EQ(entry->getSession(&next), CKR_OK);
    EXPECT_NE(next, first);

    // A refused logout and a handle the token no longer knows (all sessions
    // closed behind the entry's back) still leave the entry logged out and
    // without a session.
    ASSERT_EQ(entry->login(pin, sizeof pin), CKR_OK);
    fake().logoutResult = CKR_USER_NOT_LOGGED_IN;
    fake().openSessions.clear();
    EXPECT_EQ(entry->logout(), CKR_USER_NOT_LOGGED_IN);
    EXPECT_FALSE(entry->loggedIn);
    EXPECT_EQ(fake().closedSessions.back(), next);
    CK_SESSION_HANDLE third = 0;
    ASSERT_EQ(entry->getSession(&third), CKR_OK);
    EXPECT_NE(third, next);

    // Without a session there is nothing to close.
    ASSERT_EQ(entry->logout(), CKR_USER_NOT_LOGGED_IN);
    size_t closed = fake().closedSessions.size();
    EXPECT_EQ(entry->logout(), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(fake().closedSessions.size(), closed);
}

TEST_F(SlotEntryTest, RemovalClosesTheSessionAndForgetsTheTokenButNotItsModel) {
    addSlots({{1, tokenSlot()}});
    fake().objects = {FakeObject{CKO_CERTIFICATE, {}, {}}};
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);
    ASSERT_EQ(entry->login(pin, sizeof pin), CKR_OK);
    ASSERT_TRUE(entry->loadObjects());
    ASSERT_EQ(entry->objects.size(), 1u);
    CK_SESSION_HANDLE session = fake().loginSessions.at(0);

    entry->onTokenRemoved();
    EXPECT_EQ(fake().closedSessions, std::vector<CK_SESSION_HANDLE>{session});
    EXPECT_FALSE(entry->tokenPresent);
    EXPECT_FALSE(entry->tokenRecognized);
    EXPECT_FALSE(entry->loggedIn);
    EXPECT_EQ(entry->tokenLabel(), "");
    EXPECT_TRUE(entry->objects.empty());
    EXPECT_EQ(entry->tokenText(12), "Model X");
    EXPECT_EQ(entry->tokenText(13), "123456789012    ");

    // Insertion re-reads both; it does not log in.
    fake().slotMap[1].model = "Model Y";
    entry->onTokenInserted();
    EXPECT_TRUE(entry->tokenPresent);
    EXPECT_TRUE(entry->tokenRecognized);
    EXPECT_FALSE(entry->loggedIn);
    EXPECT_EQ(entry->tokenLabel(), "ABCDEFG");
    EXPECT_EQ(entry->tokenText(12), "Model Y");
}

TEST_F(SlotEntryTest, LoadObjectsListsTokenObjectsWithDataLabelsAndContainers) {
    addSlots({{1, tokenSlot()}});
    const std::string guid = "0A1B2C3D-0000-1111-2222-333344445555";
    fake().objects = {
        FakeObject{CKO_CERTIFICATE, std::string("cert label"), guid + '\0'},
        FakeObject{CKO_DATA, std::string("notes"), {}},
        FakeObject{CKO_DATA, {}, {}}, // label unreadable: left out
        FakeObject{CKO_PRIVATE_KEY, {}, guid + '\0'},
        FakeObject{CKO_DATA, std::string(""), std::string("C2") + '\0'},
    };
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);

    ASSERT_TRUE(entry->loadObjects());
    EXPECT_EQ(fake().findInitCalls, 1);
    EXPECT_EQ(fake().findFinalCalls, 1);
    ASSERT_EQ(entry->objects.size(), 4u);
    const auto& objects = entry->objects;
    EXPECT_EQ(objects[0].handle, 1000u);
    EXPECT_EQ(objects[0].objectClass, CKO_CERTIFICATE);
    EXPECT_EQ(objects[0].label, ""); // only data objects carry their label
    EXPECT_EQ(objects[0].containerName, guid);
    EXPECT_EQ(objects[1].objectClass, CKO_DATA);
    EXPECT_EQ(objects[1].label, "notes");
    EXPECT_EQ(objects[1].containerName, "");
    EXPECT_EQ(objects[2].handle, 1003u);
    EXPECT_EQ(objects[2].containerName, guid);
    EXPECT_EQ(objects[3].label, "");
    EXPECT_EQ(objects[3].containerName, "C2");
    for (const auto& object : objects)
        EXPECT_TRUE(object.extra.empty());

    // Every call enumerates afresh.
    fake().objects.resize(1);
    ASSERT_TRUE(entry->loadObjects());
    EXPECT_EQ(entry->objects.size(), 1u);
    EXPECT_EQ(fake().findFinalCalls, 2);
}

TEST_F(SlotEntryTest, LoadObjectsStopsOnErrorsAndStillEndsTheSearch) {
    addSlots({{1, tokenSlot()}});
    fake().objects = {FakeObject{CKO_CERTIFICATE, {}, {}}, FakeObject{CKO_PUBLIC_KEY, {}, {}},
                      FakeObject{CKO_PRIVATE_KEY, {}, {}}};
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);

    fake().findFailsAt = 1;
    EXPECT_FALSE(entry->loadObjects());
    EXPECT_EQ(entry->objects.size(), 1u);
    EXPECT_EQ(fake().findFinalCalls, 1);

    fake().findFailsAt.reset();
    fake().objects[1].classUnreadable = true;
    EXPECT_FALSE(entry->loadObjects());
    EXPECT_EQ(entry->objects.size(), 1u);
    EXPECT_EQ(fake().findFinalCalls, 2);

    // Without a session nothing is searched.
    manager.findSlot(1)->logout();
    fake().openSessionResult = CKR_DEVICE_ERROR;
    EXPECT_FALSE(entry->loadObjects());
    EXPECT_TRUE(entry->objects.empty());
    EXPECT_EQ(fake().findInitCalls, 2);
    EXPECT_EQ(fake().findFinalCalls, 2);
}

TEST_F(SlotEntryTest, AttributeLengthsBeyondTheCapAreFailedReads) {
    addSlots({{1, tokenSlot()}});
    FakeObject hugeLabel{CKO_DATA, std::string("notes"), {}};
    hugeLabel.reportedLength = CK_ULONG(1) << 40;
    FakeObject hugeContainer{CKO_CERTIFICATE, {}, std::string("C1") + '\0'};
    hugeContainer.reportedLength = kMaxAttributeLength + 1;
    FakeObject atTheCap{CKO_DATA, std::string("memo"), {}};
    atTheCap.reportedLength = kMaxAttributeLength;
    fake().objects = {hugeLabel, hugeContainer, atTheCap};
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);

    // The oversized data object is left out like one whose label cannot be
    // read; the certificate stays, without its container; a length at the
    // cap is still read (this fake then answers with the shorter value).
    ASSERT_TRUE(entry->loadObjects());
    ASSERT_EQ(entry->objects.size(), 2u);
    EXPECT_EQ(entry->objects[0].objectClass, CKO_CERTIFICATE);
    EXPECT_EQ(entry->objects[0].containerName, "");
    EXPECT_EQ(entry->objects[1].label, "memo");

    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(entry->getSession(&session), CKR_OK);
    std::vector<unsigned char> value{1, 2, 3};
    int calls = fake().attributeCalls;
    EXPECT_EQ(readAttribute(&fake().functions, session, 1000, CKA_LABEL, value), CKR_HOST_MEMORY);
    EXPECT_TRUE(value.empty());
    // Refused after the length query, without a buffer.
    EXPECT_EQ(fake().attributeCalls, calls + 1);
    ASSERT_EQ(readAttribute(&fake().functions, session, 1002, CKA_LABEL, value), CKR_OK);
    EXPECT_EQ(std::string(value.begin(), value.end()), "memo");
    EXPECT_EQ(readAttribute(&fake().functions, session, 1002, CKA_CONTAINER_NAME, value),
              CKR_ATTRIBUTE_TYPE_INVALID);
    EXPECT_TRUE(value.empty());
}

TEST_F(SlotEntryTest, SetLabelGoesThroughTheVendorTable) {
    addSlots({{1, tokenSlot()}});
    ASSERT_TRUE(manager.initialize());
    SlotEntry* entry = manager.findSlot(1);

    EXPECT_EQ(entry->setLabel("Renamed"), CKR_OK);
    fake().setLabelResult = CKR_TOKEN_WRITE_PROTECTED;
    EXPECT_EQ(entry->setLabel("Again"), CKR_TOKEN_WRITE_PROTECTED);
    EXPECT_EQ(fake().setLabelCalls, (std::vector<std::string>{"Renamed", "Again"}));
}

} // namespace
