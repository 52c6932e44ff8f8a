#include "softtoken/store/Sqlite.h"

#include <atomic>
#include <cstring>

namespace softtoken::store::sql {

CK_RV toRv(int rc) {
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return CKR_OK;
    case SQLITE_NOMEM:
        return CKR_HOST_MEMORY;
    case SQLITE_FULL:
        return CKR_DEVICE_MEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return CKR_TOKEN_NOT_RECOGNIZED;
    default:
        return CKR_DEVICE_ERROR;
    }
}

Statement::Statement(Connection& db, const char* sql) : stmt_(db.prepare(sql, &rc_)) {}

std::string Statement::text(int column) const {
    const auto* p = sqlite3_column_text(stmt_, column);
    const int n = sqlite3_column_bytes(stmt_, column);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n))
             : std::string();
}

Connection::~Connection() {
    for (auto& entry : cache_)
        sqlite3_finalize(entry.second);
    if (db_)
        sqlite3_close_v2(db_);
}

int Connection::open(const std::string& path) {
    // NOMUTEX: callers serialize their use of one connection themselves.
    const int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_extended_result_codes(db_, 0);
    return sqlite3_busy_timeout(db_, 5000);
}

sqlite3_stmt* Connection::prepare(const char* sql, int* rc) {
    auto it = cache_.find(sql);
    if (it != cache_.end()) {
        *rc = SQLITE_OK;
        return it->second;
    }
    sqlite3_stmt* stmt = nullptr;
    *rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (*rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    cache_.emplace(sql, stmt);
    return stmt;
}

int Connection::exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

const volatile std::uint32_t* Connection::walIndex() {
    if (walChecked_)
        return walIndex_;
    // Decided once: another connection cannot leave WAL mode while this one is open.
    {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, "PRAGMA journal_mode", -1, &st, nullptr) != SQLITE_OK) {
            sqlite3_finalize(st);
            return nullptr;
        }
        const bool wal = sqlite3_step(st) == SQLITE_ROW &&
                         sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                                         "wal") == 0;
        sqlite3_finalize(st);
        if (!wal) {
            walChecked_ = true;
            return nullptr;
        }
    }
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods || file->pMethods->iVersion < 2 || !file->pMethods->xShmMap)
        return nullptr;
    // Region 0 without extending: the mapping SQLite made when it first read the database,
    // kept until the connection closes.
    void volatile* region = nullptr;
    if (file->pMethods->xShmMap(file, 0, 32768, 0, &region) != SQLITE_OK || !region)
        return nullptr;
    walChecked_ = true;
    walIndex_ = static_cast<const volatile std::uint32_t*>(region);
    return walIndex_;
}

CommitStamp CommitStamp::of(Connection& db) {
    CommitStamp stamp;
    const volatile std::uint32_t* index = db.walIndex();
    if (!index)
        return stamp;
    // A writer puts the second copy down first and the first copy last, so two equal copies
    // read first-then-second are one whole header.
    std::uint32_t second[kWords];
    for (std::size_t i = 0; i < kWords; ++i)
        stamp.words_[i] = index[i];
    std::atomic_thread_fence(std::memory_order_acquire);
    for (std::size_t i = 0; i < kWords; ++i)
        second[i] = index[kWords + i];
    // Byte 12 is the initialized flag: an index being rebuilt is no proof of anything.
    const bool initialized = reinterpret_cast<const unsigned char*>(stamp.words_)[12] != 0;
    stamp.valid_ = initialized && std::memcmp(stamp.words_, second, sizeof second) == 0;
    return stamp;
}

bool CommitStamp::sameAs(const CommitStamp& other) const {
    return valid_ && other.valid_ && std::memcmp(words_, other.words_, sizeof words_) == 0;
}

Transaction::Transaction(Connection& db, bool immediate)
    : db_(db), begun_(db.exec(immediate ? "BEGIN IMMEDIATE" : "BEGIN")) {
    open_ = begun_ == SQLITE_OK;
}

Transaction::~Transaction() {
    if (open_)
        db_.exec("ROLLBACK");
}

int Transaction::commit() {
    if (!open_)
        return begun_ == SQLITE_OK ? SQLITE_MISUSE : begun_;
    const int rc = db_.exec("COMMIT");
    if (rc == SQLITE_OK)
        open_ = false;
    return rc;
}

} // namespace softtoken::store::sql
