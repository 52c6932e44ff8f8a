#pragma once

#include "TokenObjectInfo.h"

#include <p11-kit/pkcs11.h>

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class TokenLibrary;

// One PKCS#11 slot as the manager sees it: cached slot and token information,
// the one session the manager keeps on the token, the login state and the
// objects found on the token.
//
// Threads: the slot monitor applies token insertion and removal to an entry
// while the user-interface thread may be using it. Each entry therefore has
// one recursive mutex. Every member function takes it for its whole run, the
// monitor holds it while it applies an event, and a caller that reads
// several things that must agree, or reads `objects`, holds lock() around
// them (recursive, so it may call member functions meanwhile). The three
// flags are atomic and may be read without the lock. Nothing that holds the
// lock may wait for the monitor thread (SlotManager::shutdown()).
//
// Results are CK_RV codes passed through unchanged; the entry itself adds
// only CKR_ARGUMENTS_BAD, CKR_GENERAL_ERROR (library not bound) and
// CKR_DEVICE_REMOVED (no token).
class SlotEntry {
public:
    using Lock = std::unique_lock<std::recursive_mutex>;

    SlotEntry(CK_SLOT_ID slotId, const TokenLibrary& library);
    // Forgets the token but neither closes the session nor logs out:
    // C_Finalize ends both.
    ~SlotEntry();
    SlotEntry(const SlotEntry&) = delete;
    SlotEntry& operator=(const SlotEntry&) = delete;

    [[nodiscard]] Lock lock() const { return Lock(mutex_); }

    CK_SLOT_ID slotId() const { return slotId_; }

    // The entry's read/write session, opened on first use.
    CK_RV getSession(CK_SESSION_HANDLE* out);
    // CKR_USER_ALREADY_LOGGED_IN counts as logged in, but like every result
    // other than CKR_OK it closes the session.
    CK_RV login(const CK_UTF8CHAR* pin, CK_ULONG pinLength);
    // Logs out and closes the entry's session; the login state and the
    // session are cleared whatever the token answers. Returns C_Logout's result.
    CK_RV logout();

    bool refreshSlotInfo();
    bool refreshTokenInfo();
    void resetToken();
    void onTokenRemoved();
    void onTokenInserted();

    // Re-enumerates the token objects into `objects`.
    bool loadObjects();

    // 0 total private memory, 1 total public memory, 2 free private memory,
    // 3 free public memory, 4 maximum PIN length, 5 minimum PIN length,
    // 6 maximum r/w sessions, 7 r/w sessions, 8 maximum sessions,
    // 9 sessions, 10 token flags; 0 for any other index.
    CK_ULONG tokenNumber(int index) const;
    // 11 slot manufacturer, 12 model, 13 serial number, 14 label, 15 UTC
    // time, 16 token hardware version, 17 token firmware version; empty for
    // any other index.
    std::string tokenText(int index) const;

    CK_FLAGS slotFlags() const;
    std::string slotDescription() const;
    std::string tokenLabel() const;
    std::string slotHardwareVersionText() const;
    std::string slotFirmwareVersionText() const;

    // Writes a new token label through the vendor table; once written it is
    // the cached label.
    CK_RV setLabel(const std::string& text);

    // tokenRecognized and loggedIn imply tokenPresent.
    std::atomic<bool> tokenPresent{false};
    std::atomic<bool> tokenRecognized{false};
    std::atomic<bool> loggedIn{false};
    // Read under lock(). Records stay valid until the next loadObjects() even
    // when a removal empties the list meanwhile, because views keep pointers
    // into it and removal happens on the monitor thread.
    std::vector<TokenObjectInfo> objects;

private:
    CK_FUNCTION_LIST* functions() const;
    void clearObjects();

    const CK_SLOT_ID slotId_;
    const TokenLibrary& library_;
    mutable std::recursive_mutex mutex_;

    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;

    std::string slotDescription_;
    std::string slotManufacturer_;
    CK_FLAGS slotFlags_ = 0;
    CK_VERSION slotHardwareVersion_{};
    CK_VERSION slotFirmwareVersion_{};

    std::string tokenLabel_;
    std::string tokenModel_;
    std::string tokenSerialNumber_;
    std::string tokenUtcTime_;
    CK_FLAGS tokenFlags_ = 0;
    std::array<CK_ULONG, 10> tokenNumbers_{};
    CK_VERSION tokenHardwareVersion_{};
    CK_VERSION tokenFirmwareVersion_{};

    // Lists that removals emptied, kept until the user-interface thread
    // reloads (see `objects`). Moving a vector keeps its records in place.
    std::vector<std::vector<TokenObjectInfo>> retiredObjects_;
};
