#include "softtoken/store/Files.h"
#include "softtoken/store/Sqlite.h"
#include "softtoken/store/TokenStore.h"

#include <mutex>
#include <new>

namespace softtoken::store {

struct SlotTable::Impl {
    Config config;
    std::string path;
    sql::Connection db;
    bool attached = false;
    std::mutex mutex;

    // Opens slots.db. Without `create`, a store that does not exist yet stays absent and
    // reads as empty readers: a program that only looks creates nothing. Call with the mutex
    // held, or before the table is shared.
    CK_RV attach(bool create) {
        if (attached)
            return CKR_OK;
        if (create) {
            if (!files::ensureDir(config.storeDir))
                return CKR_DEVICE_ERROR;
            // Owner-only whatever the umask; SQLite copies this mode to -wal and -shm. Another
            // instance in this process may have the table open, so the file is not opened here.
            if (!files::ensurePrivateFile(path))
                return CKR_DEVICE_ERROR;
        } else {
            if (!files::unsafeDirReason(config.storeDir).empty())
                return CKR_DEVICE_ERROR;
            if (!files::exists(path))
                return CKR_OK;
        }
        int rc = db.open(path);
        if (rc == SQLITE_OK)
            rc = db.exec("PRAGMA journal_mode = WAL");
        if (rc == SQLITE_OK)
            rc = db.exec("PRAGMA synchronous = FULL");
        if (rc == SQLITE_OK) {
            sql::Transaction tx(db, true);
            rc = tx.status();
            if (rc == SQLITE_OK)
                rc = db.exec("CREATE TABLE IF NOT EXISTS slots ("
                             "reader INTEGER PRIMARY KEY, token TEXT NOT NULL UNIQUE)");
            if (rc == SQLITE_OK)
                rc = tx.commit();
        }
        if (rc != SQLITE_OK)
            return sql::toRv(rc);
        attached = true;
        return CKR_OK;
    }
};

SlotTable::SlotTable(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SlotTable::~SlotTable() = default;

CK_RV SlotTable::open(const Config& config, std::unique_ptr<SlotTable>& out) {
    try {
        out.reset();
        auto impl = std::make_unique<Impl>();
        impl->config = config;
        impl->path = config.storeDir + "/" + files::kSlotsFile;
        if (CK_RV rv = impl->attach(false); rv != CKR_OK)
            return rv;
        out.reset(new SlotTable(std::move(impl)));
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

unsigned SlotTable::slotCount() const {
    return impl_->config.slotCount;
}

std::optional<std::string> SlotTable::tokenIn(unsigned reader) {
    if (reader >= impl_->config.slotCount)
        return std::nullopt;
    std::lock_guard lock(impl_->mutex);
    if (impl_->attach(false) != CKR_OK || !impl_->attached)
        return std::nullopt;
    sql::Statement st(impl_->db, "SELECT token FROM slots WHERE reader = ?1");
    st.bind(1, reader);
    if (st.step() != SQLITE_ROW)
        return std::nullopt;
    return st.text(0);
}

std::optional<unsigned> SlotTable::readerOf(const std::string& tokenName) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->attach(false) != CKR_OK || !impl_->attached)
        return std::nullopt;
    sql::Statement st(impl_->db, "SELECT reader FROM slots WHERE token = ?1");
    st.bind(1, tokenName);
    if (st.step() != SQLITE_ROW)
        return std::nullopt;
    return static_cast<unsigned>(st.integer(0));
}

CK_RV SlotTable::insert(unsigned reader, const std::string& tokenName) {
    if (reader >= impl_->config.slotCount)
        return CKR_SLOT_ID_INVALID;
    if (!files::isPlainName(tokenName) ||
        !files::exists(files::tokenPath(impl_->config.storeDir, tokenName)))
        return CKR_ARGUMENTS_BAD;
    std::lock_guard lock(impl_->mutex);
    if (CK_RV rv = impl_->attach(true); rv != CKR_OK)
        return rv;
    sql::Transaction tx(impl_->db, true);
    if (tx.status() != SQLITE_OK)
        return sql::toRv(tx.status());
    {
        sql::Statement st(impl_->db, "SELECT 1 FROM slots WHERE reader = ?1 OR token = ?2");
        st.bind(1, reader).bind(2, tokenName);
        const int rc = st.step();
        if (rc == SQLITE_ROW)
            return CKR_ARGUMENTS_BAD;
        if (rc != SQLITE_DONE)
            return sql::toRv(rc);
    }
    sql::Statement st(impl_->db, "INSERT INTO slots (reader, token) VALUES (?1, ?2)");
    st.bind(1, reader).bind(2, tokenName);
    if (const int rc = st.run(); rc != SQLITE_OK)
        return sql::toRv(rc);
    return sql::toRv(tx.commit());
}

CK_RV SlotTable::remove(unsigned reader) {
    if (reader >= impl_->config.slotCount)
        return CKR_SLOT_ID_INVALID;
    std::lock_guard lock(impl_->mutex);
    if (CK_RV rv = impl_->attach(false); rv != CKR_OK)
        return rv;
    if (!impl_->attached)
        return CKR_TOKEN_NOT_PRESENT;
    sql::Statement st(impl_->db, "DELETE FROM slots WHERE reader = ?1");
    st.bind(1, reader);
    if (const int rc = st.run(); rc != SQLITE_OK)
        return sql::toRv(rc);
    return sqlite3_changes(impl_->db.handle()) == 0 ? CKR_TOKEN_NOT_PRESENT : CKR_OK;
}

} // namespace softtoken::store
