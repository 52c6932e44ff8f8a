// PINs: checking one with every try counted, changing one, and setting the user PIN.
#include "softtoken/store/TokenDatabaseImpl.h"

namespace softtoken::store {

using namespace detail;

namespace {
constexpr std::size_t kSaltLen = 16;
} // namespace

namespace detail {

Bytes keyAad(CK_USER_TYPE user) {
    const char* tag = user == CKU_SO ? "korvanng token key/so" : "korvanng token key/user";
    return Bytes(tag, tag + std::char_traits<char>::length(tag));
}

} // namespace detail

CK_RV TokenDatabase::Impl::readPin(CK_USER_TYPE user, PinRow& out) {
    sql::Statement st(db, user == CKU_SO
                              ? "SELECT so_iterations, so_salt, so_verifier, so_key FROM token"
                              : "SELECT user_iterations, user_salt, user_verifier, user_key "
                                "FROM token");
    const int rc = st.step();
    if (rc == SQLITE_DONE)
        return CKR_TOKEN_NOT_RECOGNIZED;
    if (rc != SQLITE_ROW)
        return sql::toRv(rc);
    out = PinRow{};
    if (st.isNull(2))
        return CKR_OK;
    // The count comes from the token file: one crafted past the configuration's limit
    // would stall every PIN check, so such a file is not a token of ours.
    const std::int64_t iterations = st.integer(0);
    if (iterations < 1 || iterations > kMaxPinIterations)
        return CKR_TOKEN_NOT_RECOGNIZED;
    out.iterations = static_cast<std::uint32_t>(iterations);
    out.salt.assign(st.blob(1), st.blob(1) + st.blobSize(1));
    out.verifier.assign(st.blob(2), st.blob(2) + st.blobSize(2));
    out.wrappedKey.assign(st.blob(3), st.blob(3) + st.blobSize(3));
    if (out.salt.empty() || out.verifier.size() != crypto::kPinVerifierLen)
        return CKR_TOKEN_NOT_RECOGNIZED;
    return CKR_OK;
}

CK_RV TokenDatabase::Impl::writePin(CK_USER_TYPE user, const SecureBytes& pin,
                                    const SecureBytes& tokenKey) {
    const Bytes salt = crypto::randomBytes(kSaltLen);
    if (salt.size() != kSaltLen)
        return CKR_FUNCTION_FAILED;
    const auto keys = crypto::derivePinKeys(pin.data(), pin.size(), salt, config.pinIterations);
    if (!keys.valid())
        return CKR_FUNCTION_FAILED;
    const Bytes wrapped =
        crypto::seal(keys.wrappingKey, tokenKey.data(), tokenKey.size(), keyAad(user));
    if (wrapped.empty())
        return CKR_FUNCTION_FAILED;
    sql::Statement st(db, user == CKU_SO ? "UPDATE token SET so_iterations = ?1, so_salt = ?2, "
                                           "so_verifier = ?3, so_key = ?4, so_failures = 0"
                                         : "UPDATE token SET user_iterations = ?1, user_salt = ?2, "
                                           "user_verifier = ?3, user_key = ?4, user_failures = 0, "
                                           "user_pin_initialized = 1");
    st.bind(1, static_cast<std::int64_t>(config.pinIterations))
        .bindBlob(2, salt.data(), salt.size())
        .bindBlob(3, keys.verifier.data(), keys.verifier.size())
        .bindBlob(4, wrapped.data(), wrapped.size());
    return sql::toRv(st.run());
}

CK_RV TokenDatabase::Impl::pinLenOk(const TokenRecord& token, const SecureBytes& pin) const {
    return pin.size() < token.minPinLen || pin.size() > token.maxPinLen ? CKR_PIN_LEN_RANGE
                                                                        : CKR_OK;
}

// The token's PIN length limits read afresh for a PIN about to be stored.
CK_RV TokenDatabase::Impl::newPinOk(const SecureBytes& pin) {
    TokenRecord token;
    if (CK_RV rv = readTokenLocked(token); rv != CKR_OK)
        return rv;
    return pinLenOk(token, pin);
}

CK_RV TokenDatabase::Impl::setFailures(CK_USER_TYPE user, int failures) {
    sql::Statement st(db, user == CKU_SO ? "UPDATE token SET so_failures = ?1"
                                         : "UPDATE token SET user_failures = ?1");
    st.bind(1, failures);
    return sql::toRv(st.run());
}

// Checks a PIN so that no attempt goes uncounted. The retry counter is raised and
// committed before the slow comparison, so a process killed mid-check has used up a
// try; a right PIN then clears the counter in a second write transaction, which is
// left open in `after` for the caller's own writes and must be committed by it. On
// any failure `after` is empty and nothing but the raised counter has changed.
CK_RV TokenDatabase::Impl::verifyPin(CK_USER_TYPE user, const SecureBytes& pin,
                                     SecureBytes* tokenKey, std::optional<sql::Transaction>& after) {
    after.reset();
    if (user != CKU_SO && user != CKU_USER)
        return CKR_USER_TYPE_INVALID;
    PinRow row;
    {
        sql::Transaction tx(db, true);
        if (tx.status() != SQLITE_OK)
            return sql::toRv(tx.status());
        TokenRecord token;
        if (CK_RV rv = readTokenLocked(token); rv != CKR_OK)
            return rv;
        if (CK_RV rv = readPin(user, row); rv != CKR_OK)
            return rv;
        if (!row.present())
            return user == CKU_SO ? CKR_PIN_INCORRECT : CKR_USER_PIN_NOT_INITIALIZED;
        const int limit = user == CKU_SO ? token.soRetryLimit : token.userRetryLimit;
        const int failures = user == CKU_SO ? token.soFailures : token.userFailures;
        if (limit != 0 && failures >= limit)
            return CKR_PIN_LOCKED;
        if (CK_RV rv = pinLenOk(token, pin); rv != CKR_OK)
            return rv;
        if (CK_RV rv = setFailures(user, failures < 255 ? failures + 1 : failures); rv != CKR_OK)
            return rv;
        if (const int rc = tx.commit(); rc != SQLITE_OK)
            return sql::toRv(rc);
    }

    const auto keys = crypto::derivePinKeys(pin.data(), pin.size(), row.salt, row.iterations);
    if (!keys.valid())
        return CKR_FUNCTION_FAILED;
    // The attempt that uses up the last try is still just a wrong PIN; the token
    // reports the lock in its flags and refuses every later attempt.
    if (!crypto::sameBytes(keys.verifier.span(), std::span<const std::uint8_t>(row.verifier)))
        return CKR_PIN_INCORRECT;

    after.emplace(db, true);
    if (after->status() != SQLITE_OK) {
        const CK_RV rv = sql::toRv(after->status());
        after.reset();
        return rv;
    }
    // A PIN changed by another process while this one was compared is no longer the PIN.
    PinRow now;
    CK_RV rv = readPin(user, now);
    if (rv == CKR_OK && (now.salt != row.salt || now.verifier != row.verifier))
        rv = CKR_PIN_INCORRECT;
    if (rv == CKR_OK)
        rv = setFailures(user, 0);
    if (rv == CKR_OK && tokenKey) {
        auto key = crypto::open(keys.wrappingKey, row.wrappedKey, keyAad(user));
        if (!key || key->size() != kTokenKeyLen)
            rv = CKR_TOKEN_NOT_RECOGNIZED;
        else
            *tokenKey = std::move(*key);
    }
    if (rv != CKR_OK)
        after.reset();
    return rv;
}

CK_RV TokenDatabase::login(CK_USER_TYPE user, const SecureBytes& pin, SecureBytes& tokenKey) {
    return guarded([&]() -> CK_RV {
        std::lock_guard lock(impl_->mutex);
        std::optional<sql::Transaction> tx;
        CK_RV rv = impl_->verifyPin(user, pin, &tokenKey, tx);
        if (rv == CKR_OK)
            rv = sql::toRv(tx->commit());
        if (rv != CKR_OK)
            tokenKey.clear();
        return rv;
    });
}

CK_RV TokenDatabase::changePin(CK_USER_TYPE user, const SecureBytes& oldPin,
                               const SecureBytes& newPin) {
    return guarded([&]() -> CK_RV {
        std::lock_guard lock(impl_->mutex);
        std::optional<sql::Transaction> tx;
        SecureBytes tokenKey;
        CK_RV rv = impl_->verifyPin(user, oldPin, &tokenKey, tx);
        if (rv != CKR_OK)
            return rv;
        // The old PIN was right: its cleared counter is kept whatever happens to the new one.
        rv = impl_->newPinOk(newPin);
        if (rv == CKR_OK)
            rv = impl_->writePin(user, newPin, tokenKey);
        if (const int rc = tx->commit(); rc != SQLITE_OK)
            return sql::toRv(rc);
        return rv;
    });
}

CK_RV TokenDatabase::initUserPin(const SecureBytes& tokenKey, const SecureBytes& newPin) {
    return guarded([&]() -> CK_RV {
        if (!hasKey(&tokenKey))
            return CKR_USER_NOT_LOGGED_IN;
        std::lock_guard lock(impl_->mutex);
        sql::Transaction tx(impl_->db, true);
        if (tx.status() != SQLITE_OK)
            return sql::toRv(tx.status());
        if (CK_RV rv = impl_->newPinOk(newPin); rv != CKR_OK)
            return rv;
        // Wrapping a wrong key under the new PIN would make every private object unreadable.
        {
            sql::Statement st(impl_->db, "SELECT key_check FROM token");
            const int rc = st.step();
            if (rc != SQLITE_ROW)
                return sql::toRv(rc);
            const Bytes check(st.blob(0), st.blob(0) + st.blobSize(0));
            if (!crypto::open(tokenKey, check, kKeyCheckAad))
                return CKR_FUNCTION_FAILED;
        }
        if (CK_RV rv = impl_->writePin(CKU_USER, newPin, tokenKey); rv != CKR_OK)
            return rv;
        return sql::toRv(tx.commit());
    });
}

} // namespace softtoken::store
