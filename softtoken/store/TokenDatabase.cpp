#include "softtoken/store/Files.h"
#include "softtoken/store/Serialize.h"
#include "softtoken/store/Sqlite.h"
#include "softtoken/store/TokenStore.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace softtoken::store {

namespace {

constexpr int kSchemaVersion = 1;
constexpr std::size_t kSaltLen = 16;
constexpr std::size_t kTokenKeyLen = 32;
constexpr std::size_t kLabelMax = 32;

// WAL mode persists in the file; synchronous and the timeout are per connection.
constexpr const char* kSchema = R"sql(
CREATE TABLE token (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    label TEXT NOT NULL,
    serial TEXT NOT NULL,
    user_pin_initialized INTEGER NOT NULL,
    so_retry_limit INTEGER NOT NULL,
    user_retry_limit INTEGER NOT NULL,
    so_failures INTEGER NOT NULL,
    user_failures INTEGER NOT NULL,
    public_memory_total INTEGER NOT NULL,
    private_memory_total INTEGER NOT NULL,
    public_memory_used INTEGER NOT NULL,
    private_memory_used INTEGER NOT NULL,
    min_pin_len INTEGER NOT NULL,
    max_pin_len INTEGER NOT NULL,
    so_iterations INTEGER,
    so_salt BLOB,
    so_verifier BLOB,
    so_key BLOB,
    user_iterations INTEGER,
    user_salt BLOB,
    user_verifier BLOB,
    user_key BLOB,
    key_check BLOB
);
CREATE TABLE objects (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    is_private INTEGER NOT NULL,
    size INTEGER NOT NULL,
    attributes BLOB NOT NULL
);
PRAGMA user_version = 1;
)sql";

constexpr const char* kSelectToken =
    "SELECT label, serial, user_pin_initialized, so_retry_limit, user_retry_limit, so_failures, "
    "user_failures, public_memory_total, private_memory_total, public_memory_used, "
    "private_memory_used, min_pin_len, max_pin_len FROM token WHERE id = 1";

// One PIN's stored material: what verifies it and the token key sealed under it.
struct PinRow {
    std::uint32_t iterations = 0;
    Bytes salt;
    Bytes verifier;
    Bytes wrappedKey;
    bool present() const { return !verifier.empty(); }
};

Bytes keyAad(CK_USER_TYPE user) {
    const char* tag = user == CKU_SO ? "korvanng token key/so" : "korvanng token key/user";
    return Bytes(tag, tag + std::char_traits<char>::length(tag));
}

// Binding the sealed attributes to the object id stops blobs being swapped between rows.
Bytes objectAad(std::uint64_t id) {
    Bytes aad(8);
    for (int i = 0; i < 8; ++i)
        aad[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(id >> (8 * i));
    return aad;
}

bool hasKey(const SecureBytes* key) {
    return key && key->size() == kTokenKeyLen;
}

const Bytes kKeyCheckAad = {'k', 'e', 'y', '-', 'c', 'h', 'e', 'c', 'k'};

std::string makeSerial() {
    static const char hex[] = "0123456789ABCDEF";
    const Bytes random = crypto::randomBytes(8);
    std::string serial;
    for (const auto b : random) {
        serial += hex[b >> 4];
        serial += hex[b & 0xf];
    }
    return serial;
}

void removeFiles(const std::string& path) {
    ::unlink(path.c_str());
    ::unlink((path + "-wal").c_str());
    ::unlink((path + "-shm").c_str());
    ::unlink((path + "-journal").c_str());
}

template <class F> CK_RV guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

} // namespace

struct TokenDatabase::Impl {
    Config config;
    std::string name;
    sql::Connection db;
    std::mutex mutex;
    std::int64_t dataVersion = 0;

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

CK_RV TokenDatabase::Impl::configure() {
    int rc = db.exec("PRAGMA synchronous = FULL");
    if (rc == SQLITE_OK)
        rc = db.exec("PRAGMA foreign_keys = OFF");
    return sql::toRv(rc);
}

std::int64_t TokenDatabase::Impl::readDataVersion() {
    sql::Statement st(db, "PRAGMA data_version");
    return st.step() == SQLITE_ROW ? st.integer(0) : -1;
}

// Decides whether the file is one of our token databases without changing it.
CK_RV TokenDatabase::Impl::checkRecognized() {
    {
        sql::Statement st(db, "PRAGMA user_version");
        const int rc = st.step();
        if (rc != SQLITE_ROW)
            return rc == SQLITE_BUSY ? CKR_DEVICE_ERROR : CKR_TOKEN_NOT_RECOGNIZED;
        if (st.integer(0) != kSchemaVersion)
            return CKR_TOKEN_NOT_RECOGNIZED;
    }
    {
        sql::Statement st(db, "PRAGMA quick_check");
        const int rc = st.step();
        if (rc != SQLITE_ROW)
            return rc == SQLITE_BUSY ? CKR_DEVICE_ERROR : CKR_TOKEN_NOT_RECOGNIZED;
        if (st.text(0) != "ok")
            return CKR_TOKEN_NOT_RECOGNIZED;
    }
    {
        sql::Statement st(db, "SELECT count(*) FROM objects");
        if (st.step() != SQLITE_ROW)
            return CKR_TOKEN_NOT_RECOGNIZED;
    }
    TokenRecord token;
    if (readTokenLocked(token) != CKR_OK || token.serial.size() != 16)
        return CKR_TOKEN_NOT_RECOGNIZED;
    PinRow so;
    if (readPin(CKU_SO, so) != CKR_OK)
        return CKR_TOKEN_NOT_RECOGNIZED;
    return CKR_OK;
}

CK_RV TokenDatabase::Impl::readTokenLocked(TokenRecord& out) {
    sql::Statement st(db, kSelectToken);
    const int rc = st.step();
    if (rc == SQLITE_DONE)
        return CKR_TOKEN_NOT_RECOGNIZED;
    if (rc != SQLITE_ROW)
        return sql::toRv(rc);
    out.label = st.text(0);
    out.serial = st.text(1);
    out.userPinInitialized = st.integer(2) != 0;
    out.soRetryLimit = static_cast<std::uint8_t>(st.integer(3));
    out.userRetryLimit = static_cast<std::uint8_t>(st.integer(4));
    out.soFailures = static_cast<std::uint8_t>(st.integer(5));
    out.userFailures = static_cast<std::uint8_t>(st.integer(6));
    out.publicMemoryTotal = static_cast<std::uint32_t>(st.integer(7));
    out.privateMemoryTotal = static_cast<std::uint32_t>(st.integer(8));
    out.publicMemoryUsed = static_cast<std::uint32_t>(st.integer(9));
    out.privateMemoryUsed = static_cast<std::uint32_t>(st.integer(10));
    out.minPinLen = static_cast<CK_ULONG>(st.integer(11));
    out.maxPinLen = static_cast<CK_ULONG>(st.integer(12));
    return CKR_OK;
}

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

// Whether an object of `size` fits the private or public memory once `freed`
// bytes of it are given back; CKR_DEVICE_MEMORY when it does not.
CK_RV TokenDatabase::Impl::roomFor(bool isPrivate, std::int64_t size, std::int64_t freed) {
    TokenRecord token;
    if (CK_RV rv = readTokenLocked(token); rv != CKR_OK)
        return rv;
    const std::int64_t used = isPrivate ? token.privateMemoryUsed : token.publicMemoryUsed;
    const std::int64_t total = isPrivate ? token.privateMemoryTotal : token.publicMemoryTotal;
    return used - freed + size > total ? CKR_DEVICE_MEMORY : CKR_OK;
}

// The stored kind and size of one object; CKR_OBJECT_HANDLE_INVALID when it is gone.
CK_RV TokenDatabase::Impl::readObjectRow(std::uint64_t id, bool& isPrivate, std::int64_t& size) {
    sql::Statement st(db, "SELECT is_private, size FROM objects WHERE id = ?1");
    st.bind(1, static_cast<std::int64_t>(id));
    const int rc = st.step();
    if (rc == SQLITE_DONE)
        return CKR_OBJECT_HANDLE_INVALID;
    if (rc != SQLITE_ROW)
        return sql::toRv(rc);
    isPrivate = st.integer(0) != 0;
    size = st.integer(1);
    return CKR_OK;
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

CK_RV TokenDatabase::Impl::initializeLocked(const InitRequest& request) {
    if (request.label.size() > kLabelMax)
        return CKR_ARGUMENTS_BAD;
    const auto badLen = [&](const SecureBytes& pin) {
        return pin.size() < config.minPinLen || pin.size() > config.maxPinLen;
    };
    if (badLen(request.soPin) || (!request.userPin.empty() && badLen(request.userPin)))
        return CKR_PIN_LEN_RANGE;
    SecureBytes tokenKey(kTokenKeyLen);
    if (!crypto::fillRandom(tokenKey.data(), tokenKey.size()))
        return CKR_FUNCTION_FAILED;

    // Lets initUserPin tell this token's key from any other 32 bytes.
    const Bytes keyCheck = crypto::seal(tokenKey, "", 0, kKeyCheckAad);
    if (keyCheck.empty())
        return CKR_FUNCTION_FAILED;

    int rc = db.exec("DELETE FROM objects");
    if (rc != SQLITE_OK)
        return sql::toRv(rc);
    {
        sql::Statement st(db, "UPDATE token SET label = ?1, user_pin_initialized = 0, "
                              "so_retry_limit = ?2, user_retry_limit = ?3, so_failures = 0, "
                              "user_failures = 0, public_memory_total = ?4, "
                              "private_memory_total = ?5, public_memory_used = 0, "
                              "private_memory_used = 0, min_pin_len = ?6, max_pin_len = ?7, "
                              "user_iterations = NULL, user_salt = NULL, user_verifier = NULL, "
                              "user_key = NULL, key_check = ?8");
        st.bind(1, request.label)
            .bind(2, request.soRetryLimit)
            .bind(3, request.userRetryLimit)
            .bind(4, static_cast<std::int64_t>(request.publicMemory))
            .bind(5, static_cast<std::int64_t>(request.privateMemory))
            .bind(6, static_cast<std::int64_t>(config.minPinLen))
            .bind(7, static_cast<std::int64_t>(config.maxPinLen))
            .bindBlob(8, keyCheck.data(), keyCheck.size());
        if ((rc = st.run()) != SQLITE_OK)
            return sql::toRv(rc);
    }
    if (CK_RV rv = writePin(CKU_SO, request.soPin, tokenKey); rv != CKR_OK)
        return rv;
    if (!request.userPin.empty())
        return writePin(CKU_USER, request.userPin, tokenKey);
    return CKR_OK;
}

CK_RV TokenDatabase::Impl::addUsed(bool isPrivate, std::int64_t delta) {
    sql::Statement st(db, isPrivate
                              ? "UPDATE token SET private_memory_used = private_memory_used + ?1"
                              : "UPDATE token SET public_memory_used = public_memory_used + ?1");
    st.bind(1, delta);
    return sql::toRv(st.run());
}

TokenDatabase::TokenDatabase(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TokenDatabase::~TokenDatabase() = default;

const std::string& TokenDatabase::name() const {
    return impl_->name;
}

CK_RV TokenDatabase::open(const Config& config, const std::string& name,
                          std::unique_ptr<TokenDatabase>& out) {
    return guarded([&]() -> CK_RV {
        out.reset();
        if (!files::isPlainName(name))
            return CKR_ARGUMENTS_BAD;
        const std::string path = files::tokenPath(config.storeDir, name);
        if (!files::exists(path))
            return CKR_DEVICE_ERROR;
        // A file others can read holds the sealed keys for anyone to guess PINs at
        // offline; one they can write, or that is someone else's, can be swapped.
        for (const char* part : {"", "-wal", "-shm"})
            if (!files::unsafeFileReason(path + part).empty())
                return CKR_DEVICE_ERROR;
        if (!files::unsafeDirReason(config.storeDir).empty())
            return CKR_DEVICE_ERROR;
        auto impl = std::make_unique<Impl>();
        impl->config = config;
        impl->name = name;
        int rc = impl->db.open(path);
        if (rc != SQLITE_OK)
            return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT ? CKR_TOKEN_NOT_RECOGNIZED
                                                               : CKR_DEVICE_ERROR;
        if (CK_RV rv = impl->checkRecognized(); rv != CKR_OK)
            return rv;
        if (CK_RV rv = impl->configure(); rv != CKR_OK)
            return rv;
        impl->dataVersion = impl->readDataVersion();
        out.reset(new TokenDatabase(std::move(impl)));
        return CKR_OK;
    });
}

CK_RV TokenDatabase::create(const Config& config, const std::string& name,
                            const InitRequest& request) {
    return guarded([&]() -> CK_RV {
        if (!files::isPlainName(name))
            return CKR_ARGUMENTS_BAD;
        if (request.label.size() > kLabelMax || request.soPin.empty())
            return request.soPin.empty() ? CKR_PIN_LEN_RANGE : CKR_ARGUMENTS_BAD;
        if (!files::ensureDir(config.storeDir))
            return CKR_DEVICE_ERROR;
        const std::string path = files::tokenPath(config.storeDir, name);
        // Created here, not by SQLite, so the mode is 0600 whatever the umask;
        // SQLite gives its -wal and -shm files the mode of the database file.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return errno == EEXIST ? CKR_ARGUMENTS_BAD : CKR_DEVICE_ERROR;
        ::fchmod(fd, 0600);
        ::close(fd);
        // Leftovers of an earlier token of this name must not be replayed into the new one.
        ::unlink((path + "-wal").c_str());
        ::unlink((path + "-shm").c_str());

        CK_RV rv = [&]() -> CK_RV {
            Impl impl;
            impl.config = config;
            impl.name = name;
            int rc = impl.db.open(path);
            if (rc == SQLITE_OK)
                rc = impl.db.exec("PRAGMA journal_mode = WAL");
            if (rc != SQLITE_OK)
                return sql::toRv(rc);
            if (CK_RV r = impl.configure(); r != CKR_OK)
                return r;
            sql::Transaction tx(impl.db, true);
            if (tx.status() != SQLITE_OK)
                return sql::toRv(tx.status());
            if ((rc = impl.db.exec(kSchema)) != SQLITE_OK)
                return sql::toRv(rc);
            {
                sql::Statement st(impl.db,
                                  "INSERT INTO token (id, label, serial, user_pin_initialized, "
                                  "so_retry_limit, user_retry_limit, so_failures, user_failures, "
                                  "public_memory_total, private_memory_total, public_memory_used, "
                                  "private_memory_used, min_pin_len, max_pin_len) "
                                  "VALUES (1, '', ?1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)");
                st.bind(1, makeSerial());
                if ((rc = st.run()) != SQLITE_OK)
                    return sql::toRv(rc);
            }
            if (CK_RV r = impl.initializeLocked(request); r != CKR_OK)
                return r;
            return sql::toRv(tx.commit());
        }();
        if (rv != CKR_OK)
            removeFiles(path);
        return rv;
    });
}

CK_RV TokenDatabase::destroy(const Config& config, const std::string& name) {
    return guarded([&]() -> CK_RV {
        if (!files::isPlainName(name))
            return CKR_ARGUMENTS_BAD;
        const std::string path = files::tokenPath(config.storeDir, name);
        if (!files::exists(path))
            return CKR_ARGUMENTS_BAD;
        std::unique_ptr<SlotTable> slots;
        if (CK_RV rv = SlotTable::open(config, slots); rv != CKR_OK)
            return rv;
        if (slots->readerOf(name))
            return CKR_FUNCTION_REJECTED;
        if (::unlink(path.c_str()) != 0)
            return CKR_DEVICE_ERROR;
        removeFiles(path);
        return CKR_OK;
    });
}

std::vector<std::string> TokenDatabase::list(const Config& config) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(config.storeDir.c_str());
    if (!dir)
        return names;
    const std::string suffix = files::kTokenSuffix;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string file = entry->d_name;
        if (file.size() <= suffix.size() ||
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string stem = file.substr(0, file.size() - suffix.size());
        if (files::isPlainName(stem))
            names.push_back(stem);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

CK_RV TokenDatabase::readToken(TokenRecord& out) {
    return guarded([&]() -> CK_RV {
        std::lock_guard lock(impl_->mutex);
        return impl_->readTokenLocked(out);
    });
}

bool TokenDatabase::changedElsewhere() {
    std::lock_guard lock(impl_->mutex);
    const std::int64_t now = impl_->readDataVersion();
    const bool changed = now != impl_->dataVersion;
    impl_->dataVersion = now;
    return changed;
}

CK_RV TokenDatabase::initialize(const InitRequest& request) {
    return guarded([&]() -> CK_RV {
        std::lock_guard lock(impl_->mutex);
        sql::Transaction tx(impl_->db, true);
        if (tx.status() != SQLITE_OK)
            return sql::toRv(tx.status());
        if (CK_RV rv = impl_->initializeLocked(request); rv != CKR_OK)
            return rv;
        return sql::toRv(tx.commit());
    });
}

CK_RV TokenDatabase::initializeWithSoPin(const SecureBytes& soPin, const std::string& label) {
    return guarded([&]() -> CK_RV {
        if (label.size() > kLabelMax)
            return CKR_ARGUMENTS_BAD;
        std::lock_guard lock(impl_->mutex);
        PinRow so;
        if (CK_RV rv = impl_->readPin(CKU_SO, so); rv != CKR_OK)
            return rv;
        std::optional<sql::Transaction> tx;
        if (!so.present())
            tx.emplace(impl_->db, true);
        else if (CK_RV rv = impl_->verifyPin(CKU_SO, soPin, nullptr, tx); rv != CKR_OK)
            return rv;
        if (tx->status() != SQLITE_OK)
            return sql::toRv(tx->status());
        TokenRecord token;
        if (CK_RV rv = impl_->readTokenLocked(token); rv != CKR_OK)
            return rv;
        InitRequest request;
        request.label = label;
        request.soPin = soPin;
        request.soRetryLimit = token.soRetryLimit;
        request.userRetryLimit = token.userRetryLimit;
        request.publicMemory = token.publicMemoryTotal;
        request.privateMemory = token.privateMemoryTotal;
        // A failed initialization keeps the token as it was, but the cleared counter stays.
        if (const int rc = impl_->db.exec("SAVEPOINT init"); rc != SQLITE_OK)
            return sql::toRv(rc);
        const CK_RV rv = impl_->initializeLocked(request);
        if (rv != CKR_OK && impl_->db.exec("ROLLBACK TO init") != SQLITE_OK)
            return rv;
        if (const int rc = tx->commit(); rc != SQLITE_OK)
            return sql::toRv(rc);
        return rv;
    });
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

CK_RV TokenDatabase::setLabel(const std::string& label) {
    return guarded([&]() -> CK_RV {
        if (label.size() > kLabelMax)
            return CKR_ARGUMENTS_BAD;
        std::lock_guard lock(impl_->mutex);
        sql::Statement st(impl_->db, "UPDATE token SET label = ?1");
        st.bind(1, label);
        return sql::toRv(st.run());
    });
}

CK_RV TokenDatabase::readObjects(const SecureBytes* tokenKey, std::vector<ObjectRecord>& out) {
    return guarded([&]() -> CK_RV {
        out.clear();
        const bool withPrivate = hasKey(tokenKey);
        std::lock_guard lock(impl_->mutex);
        sql::Transaction tx(impl_->db, false);
        if (tx.status() != SQLITE_OK)
            return sql::toRv(tx.status());
        sql::Statement st(impl_->db, withPrivate ? "SELECT id, is_private, attributes FROM objects "
                                                   "ORDER BY id"
                                                 : "SELECT id, is_private, attributes FROM objects "
                                                   "WHERE is_private = 0 ORDER BY id");
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            ObjectRecord record;
            record.id = static_cast<std::uint64_t>(st.integer(0));
            record.isPrivate = st.integer(1) != 0;
            std::optional<Attributes> attributes;
            if (record.isPrivate) {
                const Bytes sealed(st.blob(2), st.blob(2) + st.blobSize(2));
                const auto plain = crypto::open(*tokenKey, sealed, objectAad(record.id));
                if (!plain)
                    return CKR_DEVICE_ERROR;
                attributes = parseAttributes(plain->data(), plain->size());
            } else {
                attributes = parseAttributes(st.blob(2), st.blobSize(2));
            }
            if (!attributes)
                return CKR_DEVICE_ERROR;
            record.attributes = std::move(*attributes);
            out.push_back(std::move(record));
        }
        if (rc != SQLITE_DONE) {
            out.clear();
            return sql::toRv(rc);
        }
        return CKR_OK;
    });
}

namespace {

// The attribute blob as stored: sealed for private objects, wiping the plain copy.
CK_RV encodeObject(const SecureBytes* tokenKey, const ObjectRecord& record, std::uint64_t id,
                   Bytes& out) {
    Bytes plain = serializeAttributes(record.attributes);
    if (!record.isPrivate) {
        out = std::move(plain);
        return CKR_OK;
    }
    out = crypto::seal(*tokenKey, plain.data(), plain.size(), objectAad(id));
    crypto::wipe(plain.data(), plain.size());
    return out.empty() ? CKR_FUNCTION_FAILED : CKR_OK;
}

} // namespace

CK_RV TokenDatabase::createObject(const SecureBytes* tokenKey, ObjectRecord& record) {
    return createObjects(tokenKey, std::span<ObjectRecord>(&record, 1));
}

CK_RV TokenDatabase::createObjects(const SecureBytes* tokenKey, std::span<ObjectRecord> records) {
    return guarded([&]() -> CK_RV {
        for (const ObjectRecord& record : records)
            if (record.isPrivate && !hasKey(tokenKey))
                return CKR_USER_NOT_LOGGED_IN;
        std::lock_guard lock(impl_->mutex);
        sql::Transaction tx(impl_->db, true);
        if (tx.status() != SQLITE_OK)
            return sql::toRv(tx.status());
        std::vector<std::int64_t> ids;
        for (const ObjectRecord& record : records) {
            const std::int64_t size = static_cast<std::int64_t>(objectSize(record.attributes));
            if (CK_RV rv = impl_->roomFor(record.isPrivate, size, 0); rv != CKR_OK)
                return rv;

            // The id is known before the insert so the sealed blob can be bound to it.
            std::int64_t id = 0;
            {
                sql::Statement st(impl_->db,
                                  "SELECT max(COALESCE((SELECT seq FROM sqlite_sequence WHERE "
                                  "name = 'objects'), 0), COALESCE((SELECT max(id) FROM objects), "
                                  "0)) + 1");
                const int rc = st.step();
                if (rc != SQLITE_ROW)
                    return sql::toRv(rc);
                id = st.integer(0);
            }
            Bytes blob;
            if (CK_RV rv = encodeObject(tokenKey, record, static_cast<std::uint64_t>(id), blob);
                rv != CKR_OK)
                return rv;
            {
                sql::Statement st(impl_->db, "INSERT INTO objects (id, is_private, size, "
                                             "attributes) VALUES (?1, ?2, ?3, ?4)");
                st.bind(1, id).bind(2, record.isPrivate ? 1 : 0).bind(3, size);
                st.bindBlob(4, blob.data(), blob.size());
                if (const int rc = st.run(); rc != SQLITE_OK)
                    return sql::toRv(rc);
            }
            if (CK_RV rv = impl_->addUsed(record.isPrivate, size); rv != CKR_OK)
                return rv;
            ids.push_back(id);
        }
        if (const int rc = tx.commit(); rc != SQLITE_OK)
            return sql::toRv(rc);
        for (std::size_t i = 0; i < records.size(); ++i)
            records[i].id = static_cast<std::uint64_t>(ids[i]);
        return CKR_OK;
    });
}

CK_RV TokenDatabase::updateObject(const SecureBytes* tokenKey, const ObjectRecord& record) {
    return guarded([&]() -> CK_RV {
        if (record.isPrivate && !hasKey(tokenKey))
            return CKR_USER_NOT_LOGGED_IN;
        const std::int64_t size = static_cast<std::int64_t>(objectSize(record.attributes));
        std::lock_guard lock(impl_->mutex);
        sql::Transaction tx(impl_->db, true);
        if (tx.status() != SQLITE_OK)
            return sql::toRv(tx.status());
        bool wasPrivate = false;
        std::int64_t oldSize = 0;
        if (CK_RV rv = impl_->readObjectRow(record.id, wasPrivate, oldSize); rv != CKR_OK)
            return rv;
        // Changing a private object needs the key even when it becomes public.
        if (wasPrivate && !hasKey(tokenKey))
            return CKR_USER_NOT_LOGGED_IN;
        // The old copy only makes room in the memory the object stays in.
        const std::int64_t freed = wasPrivate == record.isPrivate ? oldSize : 0;
        if (CK_RV rv = impl_->roomFor(record.isPrivate, size, freed); rv != CKR_OK)
            return rv;
        Bytes blob;
        if (CK_RV rv = encodeObject(tokenKey, record, record.id, blob); rv != CKR_OK)
            return rv;
        {
            sql::Statement st(impl_->db, "UPDATE objects SET is_private = ?2, size = ?3, "
                                         "attributes = ?4 WHERE id = ?1");
            st.bind(1, static_cast<std::int64_t>(record.id))
                .bind(2, record.isPrivate ? 1 : 0)
                .bind(3, size)
                .bindBlob(4, blob.data(), blob.size());
            if (const int rc = st.run(); rc != SQLITE_OK)
                return sql::toRv(rc);
        }
        if (CK_RV rv = impl_->addUsed(wasPrivate, -oldSize); rv != CKR_OK)
            return rv;
        if (CK_RV rv = impl_->addUsed(record.isPrivate, size); rv != CKR_OK)
            return rv;
        return sql::toRv(tx.commit());
    });
}

CK_RV TokenDatabase::destroyObject(std::uint64_t id) {
    return guarded([&]() -> CK_RV {
        std::lock_guard lock(impl_->mutex);
        sql::Transaction tx(impl_->db, true);
        if (tx.status() != SQLITE_OK)
            return sql::toRv(tx.status());
        bool wasPrivate = false;
        std::int64_t size = 0;
        if (CK_RV rv = impl_->readObjectRow(id, wasPrivate, size); rv != CKR_OK)
            return rv;
        {
            sql::Statement st(impl_->db, "DELETE FROM objects WHERE id = ?1");
            st.bind(1, static_cast<std::int64_t>(id));
            if (const int rc = st.run(); rc != SQLITE_OK)
                return sql::toRv(rc);
        }
        if (CK_RV rv = impl_->addUsed(wasPrivate, -size); rv != CKR_OK)
            return rv;
        return sql::toRv(tx.commit());
    });
}

} // namespace softtoken::store
