// An in-process PKCS#11 function table and vendor table whose answers each
// test scripts: a few slots, their tokens, objects and slot events. Calls
// from the monitor thread and the test thread meet under one mutex.
#pragma once

#include <korvan/vendor_aux.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct FakeObject {
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    std::optional<std::string> label;
    // Stored with its trailing NUL, as the token keeps it.
    std::optional<std::string> containerName;
    bool classUnreadable = false;
    // Reported instead of the real length when a label or container name's
    // length is asked for (a broken module).
    std::optional<CK_ULONG> reportedLength{};
};

struct FakeSlot {
    std::string description;
    std::string manufacturer;
    CK_FLAGS flags = 0;
    CK_VERSION hardwareVersion{};
    CK_VERSION firmwareVersion{};
    CK_RV slotInfoResult = CKR_OK;

    CK_RV tokenInfoResult = CKR_OK;
    std::string label;
    std::string model;
    std::string serialNumber;
    std::string utcTime;
    CK_FLAGS tokenFlags = 0;
    CK_ULONG numbers[10] = {}; // in CK_TOKEN_INFO order, max_session_count first
    CK_VERSION tokenHardwareVersion{};
    CK_VERSION tokenFirmwareVersion{};
};

struct FakePoll {
    CK_RV result = CKR_OK;
    CK_SLOT_ID slotId = 0;
    CK_ULONG event = 0;
};

struct FakeSlotLibrary {
    std::mutex mutex;
    std::condition_variable changed;

    std::vector<CK_SLOT_ID> slotList;
    CK_RV slotListResult = CKR_OK;
    // Added to the count the second C_GetSlotList reports.
    long slotListDrift = 0;
    std::map<CK_SLOT_ID, FakeSlot> slotMap;
    // The next n C_GetSlotInfo calls fail whatever the slot.
    int slotInfoFailures = 0;

    CK_RV openSessionResult = CKR_OK;
    CK_SESSION_HANDLE nextSession = 100;
    std::set<CK_SESSION_HANDLE> openSessions;
    std::vector<CK_SESSION_HANDLE> closedSessions;
    CK_RV loginResult = CKR_OK;
    std::vector<CK_SESSION_HANDLE> loginSessions;
    std::vector<CK_SESSION_HANDLE> logoutSessions;
    CK_RV logoutResult = CKR_OK;

    std::vector<FakeObject> objects;
    size_t cursor = 0;
    // C_FindObjects fails once this many objects were handed out.
    std::optional<size_t> findFailsAt;
    bool findActive = false;
    int findInitCalls = 0;
    int findFinalCalls = 0;
    int attributeCalls = 0;

    std::deque<FakePoll> polls; // empty: "no event"
    int pollCalls = 0;
    std::vector<CK_FLAGS> pollFlags;

    CK_RV setLabelResult = CKR_OK;
    std::vector<std::string> setLabelCalls;

    CK_FUNCTION_LIST functions{};
    VendorAuxFunctionList aux{};

    // The one table all static entry points answer from.
    static FakeSlotLibrary& current();
    static void reset();
};
