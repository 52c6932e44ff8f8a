#pragma once

// What the parts of the token database share: the connection and its lock, the stored
// form of a PIN, and the helpers every part uses. Private to softtoken/store.

#include "softtoken/store/Sqlite.h"
#include "softtoken/store/TokenStore.h"

#include <mutex>
#include <new>
#include <optional>

namespace softtoken::store {

// Shared by TokenDatabase.cpp, TokenPins.cpp and TokenObjects.cpp.
namespace detail {

inline constexpr std::size_t kTokenKeyLen = 32;
inline constexpr std::size_t kLabelMax = 32;

// One PIN's stored material: what verifies it and the token key sealed under it.
struct PinRow {
    std::uint32_t iterations = 0;
    Bytes salt;
    Bytes verifier;
    Bytes wrappedKey;
    bool present() const { return !verifier.empty(); }
};

// The additional data binding a sealed token key to the PIN it is sealed under.
Bytes keyAad(CK_USER_TYPE user);
// Binding the sealed attributes to the object id stops blobs being swapped between rows.
Bytes objectAad(std::uint64_t id);
bool hasKey(const SecureBytes* key);
extern const Bytes kKeyCheckAad;

template <class F> CK_RV guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

} // namespace detail

struct TokenDatabase::Impl {
    using PinRow = detail::PinRow;

    Config config;
    std::string name;
    sql::Connection db;
    std::mutex mutex;
    std::int64_t dataVersion = 0;
    // Proof that nobody committed since dataVersion was read; see CommitStamp.
    sql::CommitStamp stamp;

    CK_RV configure();
    CK_RV checkRecognized();
    std::int64_t readDataVersion();

    CK_RV readTokenLocked(TokenRecord& out);
    CK_RV readPin(CK_USER_TYPE user, PinRow& out);
    CK_RV writePin(CK_USER_TYPE user, const SecureBytes& pin, const SecureBytes& tokenKey);
    CK_RV pinLenOk(const TokenRecord& token, const SecureBytes& pin) const;
    CK_RV newPinOk(const SecureBytes& pin);
    CK_RV roomFor(bool isPrivate, std::int64_t size, std::int64_t freed);
    CK_RV readObjectRow(std::uint64_t id, bool& isPrivate, std::int64_t& size);
    CK_RV verifyPin(CK_USER_TYPE user, const SecureBytes& pin, SecureBytes* tokenKey,
                    std::optional<sql::Transaction>& after);
    CK_RV setFailures(CK_USER_TYPE user, int failures);
    CK_RV initializeLocked(const InitRequest& request);
    CK_RV addUsed(bool isPrivate, std::int64_t delta);
};

} // namespace softtoken::store
