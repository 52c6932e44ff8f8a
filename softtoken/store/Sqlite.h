#pragma once

// Thin RAII layer over SQLite: one connection with a cache of prepared
// statements, statement scopes that reset on exit, and transactions that roll
// back unless committed.

#include <p11-kit/pkcs11.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace softtoken::store::sql {

// The PKCS#11 code for an SQLite failure.
CK_RV toRv(int rc);

class Connection;

// A cached prepared statement, reset when the scope ends. A statement that
// failed to prepare reports the error from bind/step.
class Statement {
public:
    Statement(Connection& db, const char* sql);
    ~Statement() {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters are numbered from 1, as in SQL. Text is copied.
    Statement& bind(int index, std::int64_t value) {
        rc_ = rc_ == SQLITE_OK ? sqlite3_bind_int64(stmt_, index, value) : rc_;
        return *this;
    }
    Statement& bind(int index, const std::string& text) {
        rc_ = rc_ == SQLITE_OK ? sqlite3_bind_text(stmt_, index, text.data(),
                                                   static_cast<int>(text.size()), SQLITE_TRANSIENT)
                               : rc_;
        return *this;
    }
    // The bytes must stay alive until the statement has run (not copied, for speed).
    // An empty blob is stored as a zero-length blob, not NULL.
    Statement& bindBlob(int index, const void* data, std::size_t len) {
        static const char empty = 0;
        rc_ = rc_ == SQLITE_OK
                  ? sqlite3_bind_blob64(stmt_, index, len ? data : &empty, len, SQLITE_STATIC)
                  : rc_;
        return *this;
    }
    Statement& bindNull(int index) {
        rc_ = rc_ == SQLITE_OK ? sqlite3_bind_null(stmt_, index) : rc_;
        return *this;
    }

    // SQLITE_ROW, SQLITE_DONE or an error code (including a failed bind).
    int step() { return rc_ == SQLITE_OK ? sqlite3_step(stmt_) : rc_; }
    // Runs a statement that returns no rows: SQLITE_OK or the error.
    int run() {
        const int rc = step();
        return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
    }

    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::string text(int column) const;
    const std::uint8_t* blob(int column) const {
        return static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    }
    std::size_t blobSize(int column) const {
        return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
    }

private:
    int rc_ = SQLITE_OK;
    sqlite3_stmt* stmt_;
};

class Connection {
public:
    Connection() = default;
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens an existing file read-write (never creates one).
    int open(const std::string& path);
    sqlite3* handle() const { return db_; }
    // The start of the shared WAL index of the main database, mapped by SQLite itself; null when
    // the database is not in WAL mode or the index is not mapped yet.
    const volatile std::uint32_t* walIndex();

    // A cached prepared statement for a constant SQL text; the cache is keyed
    // by the text's address, so pass string literals. Null on failure
    // (*rc set).
    sqlite3_stmt* prepare(const char* sql, int* rc);
    // Runs SQL text without parameters (schema, pragmas).
    int exec(const char* sql);
    std::int64_t lastInsertId() const { return sqlite3_last_insert_rowid(db_); }

private:
    sqlite3* db_ = nullptr;
    bool walChecked_ = false;
    const volatile std::uint32_t* walIndex_ = nullptr;
    std::unordered_map<const char*, sqlite3_stmt*> cache_;
};

// What the shared WAL index header said at one moment. Every commit to a WAL database, by any
// connection in any process, rewrites that header, so an unchanged header proves that nothing
// was committed, for the price of reading 96 bytes of shared memory instead of taking locks.
// A changed, unreadable or half-written header proves nothing: callers then ask SQLite.
class CommitStamp {
public:
    // Reads the header of the connection's database; invalid when it is not in WAL mode or the
    // header is being written.
    static CommitStamp of(Connection& db);
    // True only when both stamps are valid and equal.
    bool sameAs(const CommitStamp& other) const;

private:
    static constexpr std::size_t kWords = 12; // one 48-byte copy of the header
    bool valid_ = false;
    std::uint32_t words_[kWords] = {};
};

class Transaction {
public:
    // immediate: take the write lock at once, so a read-modify-write by two
    // processes is serialized instead of one of them losing its update.
    Transaction(Connection& db, bool immediate);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    int status() const { return begun_; }
    int commit();

private:
    Connection& db_;
    int begun_;
    bool open_ = false;
};

} // namespace softtoken::store::sql
