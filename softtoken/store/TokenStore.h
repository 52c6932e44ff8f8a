#pragma once

// Persistent state of the software token: which reader holds which token
// (SlotTable), one SQLite database per token (TokenDatabase) and the event log
// that lets every process learn about the others' changes with one stat().
//
// Every change is one transaction; every SQL value is bound. Results are
// PKCS#11 codes so the module can return them unchanged.

#include "softtoken/crypto/Crypto.h"
#include "softtoken/store/Config.h"

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace softtoken::store {

using crypto::Bytes;
using crypto::SecureBytes;

// An object's attributes, kept sorted so the serialized form is stable.
using Attributes = std::map<CK_ATTRIBUTE_TYPE, Bytes>;

// Bytes an object takes from token memory: the sum over its attributes of
// (type and length header + value length), as the module reports in C_GetObjectSize.
CK_ULONG objectSize(const Attributes& attributes);

struct ObjectRecord {
    std::uint64_t id = 0; // assigned by the database, never reused
    bool isPrivate = false;
    Attributes attributes;
};

struct TokenRecord {
    std::string label;  // at most 32 bytes, no padding
    std::string serial; // 16 characters
    bool userPinInitialized = false;
    std::uint8_t soRetryLimit = 6;
    std::uint8_t userRetryLimit = 6;
    std::uint8_t soFailures = 0; // consecutive wrong SO PINs
    std::uint8_t userFailures = 0;
    std::uint32_t publicMemoryTotal = 0;
    std::uint32_t privateMemoryTotal = 0;
    std::uint32_t publicMemoryUsed = 0;
    std::uint32_t privateMemoryUsed = 0;
    CK_ULONG minPinLen = 4;
    CK_ULONG maxPinLen = 16;
};

// What initialization sets. An empty userPin leaves the user PIN uninitialized
// (standard C_InitToken); the vendor initialization and tokenctl give both.
struct InitRequest {
    std::string label;
    SecureBytes soPin;
    SecureBytes userPin;
    std::uint8_t soRetryLimit = 6;
    std::uint8_t userRetryLimit = 6;
    std::uint32_t publicMemory = 32000;
    std::uint32_t privateMemory = 32000;
};

class TokenDatabase {
public:
    // Opens <storeDir>/<name>.token. CKR_TOKEN_NOT_RECOGNIZED when the file
    // is damaged, truncated or not a token database; CKR_DEVICE_ERROR when it
    // cannot be opened at all.
    static CK_RV open(const Config& config, const std::string& name,
                      std::unique_ptr<TokenDatabase>& out);
    // Creates a new token file (owner-only permissions) and initializes it.
    // CKR_ARGUMENTS_BAD when the name is taken or not a plain file stem.
    static CK_RV create(const Config& config, const std::string& name, const InitRequest& request);
    // CKR_ARGUMENTS_BAD when there is no such token; CKR_FUNCTION_REJECTED
    // while it sits in a reader.
    static CK_RV destroy(const Config& config, const std::string& name);
    static std::vector<std::string> list(const Config& config); // token names in the store

    ~TokenDatabase();
    TokenDatabase(const TokenDatabase&) = delete;
    TokenDatabase& operator=(const TokenDatabase&) = delete;

    const std::string& name() const;

    CK_RV readToken(TokenRecord& out);

    // True when another connection committed a change since the last call
    // (SQLite's data_version): lets callers keep caches without querying.
    bool changedElsewhere();

    // Wipes every object, sets PINs, label, retry limits and memory sizes, and
    // a new token key. The serial number stays.
    CK_RV initialize(const InitRequest& request);
    // Standard C_InitToken: the SO PIN must match when the token already has
    // one (wrong PIN counts as a failure: CKR_PIN_INCORRECT / CKR_PIN_LOCKED).
    CK_RV initializeWithSoPin(const SecureBytes& soPin, const std::string& label);

    // Verifies a PIN and updates the retry counter in the same transaction.
    // CKR_OK and the unwrapped token key; CKR_PIN_INCORRECT, CKR_PIN_LOCKED,
    // CKR_USER_PIN_NOT_INITIALIZED, CKR_PIN_LEN_RANGE.
    CK_RV login(CK_USER_TYPE user, const SecureBytes& pin, SecureBytes& tokenKey);
    // C_SetPIN: checks oldPin like login (counting failures) and rewraps the token key.
    CK_RV changePin(CK_USER_TYPE user, const SecureBytes& oldPin, const SecureBytes& newPin);
    // C_InitPIN by a logged-in SO: sets the user PIN, resets its counter, keeps the keys.
    // CKR_USER_NOT_LOGGED_IN without a key; CKR_FUNCTION_FAILED when the key is
    // not this token's.
    CK_RV initUserPin(const SecureBytes& tokenKey, const SecureBytes& newPin);
    // Label over 32 bytes: CKR_ARGUMENTS_BAD.
    CK_RV setLabel(const std::string& label);

    // Objects. Private objects' attributes are sealed with the token key at
    // rest, so reading them needs the key (null key: private objects skipped).
    CK_RV readObjects(const SecureBytes* tokenKey, std::vector<ObjectRecord>& out);
    // Assigns record.id. CKR_DEVICE_MEMORY when it does not fit: nothing stored.
    CK_RV createObject(const SecureBytes* tokenKey, ObjectRecord& record);
    // Stores every record in one transaction, assigning their ids: all of them or none.
    CK_RV createObjects(const SecureBytes* tokenKey, std::span<ObjectRecord> records);
    CK_RV updateObject(const SecureBytes* tokenKey, const ObjectRecord& record);
    CK_RV destroyObject(std::uint64_t id); // CKR_OBJECT_HANDLE_INVALID when absent

private:
    struct Impl;
    explicit TokenDatabase(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Which token sits in which reader: <storeDir>/slots.db.
class SlotTable {
public:
    static CK_RV open(const Config& config, std::unique_ptr<SlotTable>& out);
    ~SlotTable();

    unsigned slotCount() const;
    // Token name in a reader, or nullopt when the reader is empty.
    std::optional<std::string> tokenIn(unsigned reader);
    // Reader holding a token, or nullopt when it is in none.
    std::optional<unsigned> readerOf(const std::string& tokenName);
    // CKR_SLOT_ID_INVALID for a reader out of range; CKR_ARGUMENTS_BAD when
    // the reader is occupied, the token is unknown or sits in another reader.
    CK_RV insert(unsigned reader, const std::string& tokenName);
    CK_RV remove(unsigned reader); // CKR_TOKEN_NOT_PRESENT when empty

private:
    struct Impl;
    explicit SlotTable(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Append-only log of slot events in <storeDir>/events.log, shared by every
// process using the store. Each reader keeps its own read position, so an
// idle poll costs one stat() and no database query.
struct SlotEvent {
    CK_SLOT_ID slot = 0;
    CK_ULONG code = 0; // 1 inserted, 2 removed, 6 user PIN, 7 SO PIN, 8 label, 269 re-initialized
    std::uint64_t origin = 0; // writer's id, so a process can skip its own changes
};

class EventLog {
public:
    // Starts reading at the current end: events from before are not replayed.
    static CK_RV open(const Config& config, std::unique_ptr<EventLog>& out);
    ~EventLog();

    CK_RV append(const SlotEvent& event);
    // Next event not yet read by this reader, or nullopt.
    std::optional<SlotEvent> next();

private:
    struct Impl;
    explicit EventLog(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace softtoken::store
