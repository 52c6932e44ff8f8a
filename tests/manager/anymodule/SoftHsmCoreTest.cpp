// The window's toolkit-free token operations over SoftHSM2, bound as a
// module without the vendor table: the slot model, its container names and
// the initialization through the standard calls.

#include "AdminContext.h"
#include "MessagePresenter.h"
#include "ModuleInitToken.h"
#include "SlotManager.h"
#include "SoftHsmStore.h"
#include "TokenLibrary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

class SoftHsmCoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SOFTHSM2_CONF", store.config().c_str(), 1);
        ASSERT_TRUE(library.loadAnyModule(SOFTHSM2_MODULE));
        ASSERT_EQ(library.auxFunctions(), nullptr);
        ASSERT_TRUE(manager.initialize());
        ASSERT_EQ(manager.allSlots().size(), 1u);
        emptySlot = manager.allSlots().begin()->first;
    }
    void TearDown() override {
        manager.shutdown();
        library.unload();
    }

    static ModuleInitInput input(const char* soPin, const char* label, const char* userPin,
                                 const char* newSoPin = "") {
        ModuleInitInput in;
        in.currentSoPin.assign(soPin);
        in.label = label;
        in.userPin.assign(userPin);
        in.newSoPin.assign(newSoPin);
        return in;
    }
    ModuleInitOutcome init(CK_SLOT_ID slotId, const ModuleInitInput& in) {
        // An initialized token is erased only after an OK to the question.
        return runModuleInitToken(slotId, in, AdminContext{manager, library},
                                  [](const std::string&) { return true; });
    }
    CK_RV login(CK_SLOT_ID slotId, const char* pin) {
        SlotEntry* entry = manager.findSlot(slotId);
        CK_RV rv = entry->login(reinterpret_cast<const CK_UTF8CHAR*>(pin),
                                static_cast<CK_ULONG>(std::strlen(pin)));
        if (rv == CKR_OK)
            entry->logout();
        return rv;
    }
    int lastMessage() const {
        return presenter.requests().empty() ? 0 : presenter.requests().back().id;
    }

    SoftHsmStore store{"korvan-anymodule-core"};
    TokenLibrary library;
    SlotManager manager{library};
    CK_SLOT_ID emptySlot = 0;
    ScriptedPresenter presenter;
    ScopedMessagePresenter scoped{presenter};
};

TEST_F(SoftHsmCoreTest, InitSetsBothPinsAndTheModelFindsTheTokenAgain) {
    ASSERT_FALSE(vendorInitAvailable(AdminContext{manager, library}));
    ModuleInitOutcome outcome = init(emptySlot, input("11223344", "Core token", "1234"));
    ASSERT_TRUE(outcome.succeeded);
    EXPECT_TRUE(outcome.tokenTouched);
    EXPECT_EQ(lastMessage(), 855);
    EXPECT_EQ(outcome.newName, "Core token");
    EXPECT_EQ(outcome.newPin.view(), "1234");

    // The list was read again: the module offers a new empty token.
    EXPECT_EQ(manager.allSlots().size(), 2u);
    SlotEntry* entry = manager.findSlot(outcome.slotId);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->tokenLabel(), "Core token");
    CK_ULONG flags = entry->tokenNumber(10);
    EXPECT_NE(flags & CKF_TOKEN_INITIALIZED, 0u);
    EXPECT_NE(flags & CKF_USER_PIN_INITIALIZED, 0u);
    EXPECT_EQ(login(outcome.slotId, "1234"), static_cast<CK_RV>(CKR_OK));
    EXPECT_EQ(login(outcome.slotId, "4321"), static_cast<CK_RV>(CKR_PIN_INCORRECT));
}

TEST_F(SoftHsmCoreTest, ReinitNeedsTheCurrentSoPinAndTakesANewOne) {
    ModuleInitOutcome first = init(emptySlot, input("11223344", "Core token", "1234"));
    ASSERT_TRUE(first.succeeded);
    CK_SLOT_ID slot = first.slotId;

    ModuleInitOutcome wrong = init(slot, input("00000000", "Other", "5678"));
    EXPECT_FALSE(wrong.succeeded);
    EXPECT_EQ(wrong.rv, static_cast<CK_RV>(CKR_PIN_INCORRECT));
    EXPECT_EQ(lastMessage(), 839); // "Wrong SO PIN!", checked before anything is erased
    EXPECT_EQ(manager.findSlot(slot)->tokenLabel(), "Core token");
    EXPECT_EQ(login(slot, "1234"), static_cast<CK_RV>(CKR_OK));

    ModuleInitOutcome second = init(slot, input("11223344", "Second", "5678", "55667788"));
    ASSERT_TRUE(second.succeeded);
    EXPECT_EQ(login(second.slotId, "5678"), static_cast<CK_RV>(CKR_OK));
    EXPECT_FALSE(init(second.slotId, input("11223344", "Third", "5678")).succeeded);
    EXPECT_TRUE(init(second.slotId, input("55667788", "Third", "5678")).succeeded);
}

TEST_F(SoftHsmCoreTest, RefusedInputTouchesNothing) {
    ModuleInitOutcome first = init(emptySlot, input("11223344", "Core token", "1234"));
    ASSERT_TRUE(first.succeeded);

    ModuleInitOutcome longName =
        init(first.slotId, input("11223344", "a name of thirty-three bytes long", "5678"));
    EXPECT_FALSE(longName.succeeded);
    EXPECT_FALSE(longName.tokenTouched);
    ASSERT_FALSE(presenter.requests().empty());
    EXPECT_EQ(presenter.requests().back().text, "Initialize token failed! [0x00000007]");
    EXPECT_EQ(login(first.slotId, "1234"), static_cast<CK_RV>(CKR_OK));

    ModuleInitOutcome longPin =
        init(first.slotId, input("11223344", "Core", std::string(300, '1').c_str()));
    EXPECT_EQ(longPin.rv, static_cast<CK_RV>(CKR_PIN_LEN_RANGE));
    EXPECT_FALSE(longPin.tokenTouched);
    EXPECT_EQ(manager.findSlot(first.slotId)->tokenLabel(), "Core token");

    PinBounds bounds{4, 255};
    EXPECT_TRUE(moduleInitOkEnabled(bounds, input("1122", "A", "1234")));
    EXPECT_FALSE(moduleInitOkEnabled(bounds, input("112", "A", "1234")));
    EXPECT_FALSE(moduleInitOkEnabled(bounds, input("1122", "", "1234")));
    EXPECT_FALSE(moduleInitOkEnabled(bounds, input("1122", "A", "123")));
    EXPECT_FALSE(moduleInitOkEnabled(bounds, input("1122", "A", "1234", "123")));
    EXPECT_TRUE(moduleInitOkEnabled(bounds, input("1122", "A", "1234", "5555")));
}

// Such a module keeps a container name in CKA_ID; ids of any other form,
// as other programs and earlier imports ("hello") write them, name none.
TEST_F(SoftHsmCoreTest, OnlyAnIdOfTheContainerNameFormNamesAContainer) {
    CK_SLOT_ID slot = init(emptySlot, input("11223344", "Core token", "1234")).slotId;
    SlotEntry* entry = manager.findSlot(slot);
    ASSERT_EQ(entry->login(reinterpret_cast<const CK_UTF8CHAR*>("1234"), 4), CKR_OK);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    ASSERT_EQ(entry->getSession(&session), CKR_OK);
    const std::string named = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
    std::map<CK_OBJECT_HANDLE, std::string> idOf;
    for (std::string id : {named, std::string("hello"), std::string(36, 'A')}) {
        CK_OBJECT_CLASS objectClass = CKO_SECRET_KEY;
        CK_KEY_TYPE keyType = CKK_GENERIC_SECRET;
        CK_BBOOL yes = CK_TRUE;
        unsigned char value[16] = {1};
        CK_ATTRIBUTE attributes[] = {{CKA_CLASS, &objectClass, sizeof objectClass},
                                     {CKA_KEY_TYPE, &keyType, sizeof keyType},
                                     {CKA_TOKEN, &yes, sizeof yes},
                                     {CKA_VALUE, value, sizeof value},
                                     {CKA_ID, id.data(), CK_ULONG(id.size())}};
        CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
        ASSERT_EQ(library.functions()->C_CreateObject(session, attributes, 5, &handle), CKR_OK);
        idOf[handle] = id;
    }
    ASSERT_TRUE(entry->loadObjects());
    ASSERT_EQ(entry->objects.size(), 3u);
    for (const TokenObjectInfo& object : entry->objects)
        EXPECT_EQ(object.containerName, idOf[object.handle] == named ? named : "");
}

} // namespace
