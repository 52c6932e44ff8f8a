#pragma once

#include "AttributeRules.h"
#include "Identity.h"
#include "Locking.h"

#include "softtoken/crypto/Crypto.h"
#include "softtoken/store/TokenStore.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace softtoken::module {

using crypto::SecureBytes;

struct Object {
    CK_OBJECT_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    bool onToken = false;
    bool isPrivate = false;
    std::uint64_t dbId = 0;      // token objects
    CK_SESSION_HANDLE owner = 0; // session objects
    Attributes attributes;
    crypto::PkeyPtr pkey; // built on first use, shared with every operation

    CK_OBJECT_CLASS objectClass() const;
};

enum class Login { None, User, SO };

// The module's view of one reader and the token in it.
struct Token {
    std::optional<std::string> name; // token in the reader
    std::unique_ptr<store::TokenDatabase> db;
    Login login = Login::None;
    SecureBytes tokenKey;
    bool objectsLoaded = false;
    bool loadedWithKey = false;
    // Handles stay the same for the life of the application, also across logins.
    std::map<std::uint64_t, CK_OBJECT_HANDLE> handleOfId;
};

struct Session {
    CK_SESSION_HANDLE handle = 0;
    CK_SLOT_ID slot = 0;
    bool rw = false;

    bool findActive = false;
    std::vector<CK_OBJECT_HANDLE> found;
    std::size_t foundPos = 0;

    std::unique_ptr<crypto::SignContext> sign;
    std::unique_ptr<crypto::VerifyContext> verify;
    std::unique_ptr<crypto::CipherContext> encrypt;
    std::unique_ptr<crypto::CipherContext> decrypt;
    std::unique_ptr<crypto::DigestContext> digest;
};

inline constexpr CK_ULONG kMaxSessions = 512;

class Module {
public:
    static CK_RV create(const CK_C_INITIALIZE_ARGS* args, std::unique_ptr<Module>& out);
    ~Module();

    Locking& locking() { return *locking_; }
    const store::Config& config() const { return config_; }
    const ModuleIdentity& identity() const { return identity_; }
    std::uint64_t origin() const { return origin_; }
    // The process that initialized this instance; a child after fork() must not use it.
    pid_t process() const { return process_; }
    CK_ULONG slotCount() const { return static_cast<CK_ULONG>(tokens_.size()); }

    // Slot view. pumpEvents() reads what other processes appended to the event
    // log (one stat() when nothing happened) and applies insertions and removals.
    void pumpEvents();
    std::optional<store::SlotEvent> nextEvent();
    void appendEvent(CK_SLOT_ID slot, CK_ULONG code);
    // Slot ids are reader index + 1: the manager ignores events for slot 0.
    static CK_SLOT_ID slotOfReader(unsigned reader) { return static_cast<CK_SLOT_ID>(reader) + 1; }
    static unsigned readerOfSlot(CK_SLOT_ID slot) { return static_cast<unsigned>(slot - 1); }
    bool validSlot(CK_SLOT_ID slot) const { return slot >= 1 && slot <= tokens_.size(); }
    bool tokenPresent(CK_SLOT_ID slot) const;
    Token& token(CK_SLOT_ID slot) { return tokens_.at(readerOfSlot(slot)); }
    // The token's database, opened on first use. CKR_SLOT_ID_INVALID,
    // CKR_TOKEN_NOT_PRESENT, CKR_TOKEN_NOT_RECOGNIZED, CKR_DEVICE_ERROR.
    CK_RV openToken(CK_SLOT_ID slot, Token*& out);
    // Forgets everything about the token in a reader: sessions, login, objects.
    void resetToken(CK_SLOT_ID slot);

    // Sessions.
    CK_RV session(CK_SESSION_HANDLE handle, Session*& out);
    CK_RV openSession(CK_SLOT_ID slot, bool rw, CK_SESSION_HANDLE& out);
    void closeSession(CK_SESSION_HANDLE handle);
    void closeAllSessions(CK_SLOT_ID slot);
    CK_ULONG sessionCount(CK_SLOT_ID slot, bool rwOnly) const;
    CK_STATE sessionState(const Session& s);

    // Login state is shared by every session of the application on a token.
    void loggedIn(CK_SLOT_ID slot, Login who, SecureBytes tokenKey);
    void logout(CK_SLOT_ID slot);

    // Objects. loadObjects refreshes the cache of a token's objects only when
    // the login changed or another process wrote to the token.
    CK_RV loadObjects(CK_SLOT_ID slot);
    // A handle visible to the session; CKR_OBJECT_HANDLE_INVALID otherwise.
    CK_RV object(const Session& s, CK_OBJECT_HANDLE handle, Object*& out);
    // Like object(), but a private object before login gives CKR_USER_NOT_LOGGED_IN.
    CK_RV keyObject(const Session& s, CK_OBJECT_HANDLE handle, Object*& out);
    std::vector<Object*> visibleObjects(const Session& s);
    CK_OBJECT_HANDLE addObject(std::unique_ptr<Object> object);
    void removeObject(CK_OBJECT_HANDLE handle);
    // Stores a new object (token objects in the database). CKR_DEVICE_MEMORY,
    // CKR_SESSION_READ_ONLY, CKR_USER_NOT_LOGGED_IN.
    CK_RV storeNewObject(Session& s, Attributes attributes, CK_OBJECT_HANDLE& out);
    // Several new objects at once: the token ones are written in one transaction, so
    // either every object exists afterwards or none does.
    CK_RV storeNewObjects(Session& s, std::vector<Attributes> all,
                          std::vector<CK_OBJECT_HANDLE>& out);
    // Checks that the session may write the object.
    CK_RV checkWritable(const Session& s, bool onToken, bool isPrivate);

private:
    Module() = default;
    void applySlotEvent(const store::SlotEvent& e);
    CK_OBJECT_HANDLE newHandle() { return nextHandle_++; }

    std::unique_ptr<Locking> locking_;
    store::Config config_;
    ModuleIdentity identity_;
    std::uint64_t origin_ = 0;
    pid_t process_ = 0;
    std::unique_ptr<store::SlotTable> slotTable_;
    std::unique_ptr<store::EventLog> eventLog_;
    std::deque<store::SlotEvent> pending_;
    std::vector<Token> tokens_;
    std::map<CK_SESSION_HANDLE, std::unique_ptr<Session>> sessions_;
    std::map<CK_OBJECT_HANDLE, std::unique_ptr<Object>> objects_;
    CK_SESSION_HANDLE nextSession_ = 1;
    CK_OBJECT_HANDLE nextHandle_ = 1;
};

} // namespace softtoken::module
