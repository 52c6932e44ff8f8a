#include "softtoken/store/Files.h"
#include "softtoken/store/Sqlite.h"
#include "softtoken/store/TokenStore.h"

#include <mutex>
#include <new>

namespace softtoken::store {

struct SlotTable::Impl {
    Config config;
    sql::Connection db;
    std::mutex mutex;
};

SlotTable::SlotTable(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SlotTable::~SlotTable() = default;

CK_RV SlotTable::open(const Config& config, std::unique_ptr<SlotTable>& out) {
    try {
        out.reset();
        if (!files::ensureDir(config.storeDir))
            return CKR_DEVICE_ERROR;
        const std::string path = config.storeDir + "/" + files::kSlotsFile;
        // Owner-only whatever the umask; SQLite copies this mode to -wal and -shm. Another
        // instance in this process may have the table open, so the file is not opened here.
        if (!files::ensurePrivateFile(path))
            return CKR_DEVICE_ERROR;
        auto impl = std::make_unique<Impl>();
        impl->config = config;
        int rc = impl->db.open(path);
        if (rc == SQLITE_OK)
            rc = impl->db.exec("PRAGMA journal_mode = WAL");
        if (rc == SQLITE_OK)
            rc = impl->db.exec("PRAGMA synchronous = FULL");
        if (rc == SQLITE_OK) {
            sql::Transaction tx(impl->db, true);
            rc = tx.status();
            if (rc == SQLITE_OK)
                rc = impl->db.exec("CREATE TABLE IF NOT EXISTS slots ("
                                   "reader INTEGER PRIMARY KEY, token TEXT NOT NULL UNIQUE)");
            if (rc == SQLITE_OK)
                rc = tx.commit();
        }
        if (rc != SQLITE_OK)
            return sql::toRv(rc);
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
    sql::Statement st(impl_->db, "SELECT token FROM slots WHERE reader = ?1");
    st.bind(1, reader);
    if (st.step() != SQLITE_ROW)
        return std::nullopt;
    return st.text(0);
}

std::optional<unsigned> SlotTable::readerOf(const std::string& tokenName) {
    std::lock_guard lock(impl_->mutex);
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
    sql::Statement st(impl_->db, "DELETE FROM slots WHERE reader = ?1");
    st.bind(1, reader);
    if (const int rc = st.run(); rc != SQLITE_OK)
        return sql::toRv(rc);
    return sqlite3_changes(impl_->db.handle()) == 0 ? CKR_TOKEN_NOT_PRESENT : CKR_OK;
}

} // namespace softtoken::store
