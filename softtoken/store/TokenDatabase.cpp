// The token file itself: its schema, opening, creation, removal, initialization and the
// token row (label, limits, memory).
#include "softtoken/store/Files.h"
#include "softtoken/store/TokenDatabaseImpl.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace softtoken::store {

using namespace detail;

namespace detail {

bool hasKey(const SecureBytes* key) {
    return key && key->size() == kTokenKeyLen;
}

const Bytes kKeyCheckAad = {'k', 'e', 'y', '-', 'c', 'h', 'e', 'c', 'k'};

} // namespace detail

namespace {

constexpr int kSchemaVersion = 1;

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

} // namespace

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
    // No commit at all since the last look: nothing changed elsewhere either.
    const sql::CommitStamp stamp = sql::CommitStamp::of(impl_->db);
    if (stamp.sameAs(impl_->stamp))
        return false;
    // Some commit, perhaps only our own: data_version tells them apart. The stamp is taken
    // before the version, so a commit in between is seen again next time, never missed.
    const std::int64_t now = impl_->readDataVersion();
    const bool changed = now != impl_->dataVersion;
    impl_->dataVersion = now;
    impl_->stamp = stamp;
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

} // namespace softtoken::store
