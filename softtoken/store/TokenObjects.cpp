// Objects: reading, storing, changing and removing them, and the token memory they use.
#include "softtoken/store/Serialize.h"
#include "softtoken/store/TokenDatabaseImpl.h"

namespace softtoken::store {

using namespace detail;

namespace detail {

// Binding the sealed attributes to the object id stops blobs being swapped between rows.
Bytes objectAad(std::uint64_t id) {
    Bytes aad(8);
    for (int i = 0; i < 8; ++i)
        aad[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(id >> (8 * i));
    return aad;
}

} // namespace detail

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

CK_RV TokenDatabase::Impl::addUsed(bool isPrivate, std::int64_t delta) {
    sql::Statement st(db, isPrivate
                              ? "UPDATE token SET private_memory_used = private_memory_used + ?1"
                              : "UPDATE token SET public_memory_used = public_memory_used + ?1");
    st.bind(1, delta);
    return sql::toRv(st.run());
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
