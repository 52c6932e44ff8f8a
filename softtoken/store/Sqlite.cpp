#include "softtoken/store/Sqlite.h"

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
