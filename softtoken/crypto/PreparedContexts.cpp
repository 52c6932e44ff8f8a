#include "softtoken/crypto/PreparedContexts.h"

#include <mutex>
#include <openssl/crypto.h>
#include <optional>
#include <vector>

namespace softtoken::crypto {
namespace {

struct Prepared {
    PreparedUse use;
    CK_MECHANISM_TYPE mechanism;
    EVP_MD_CTX* ctx;
};

// Bounded by the parameterless hash-and-sign mechanisms times the two uses.
constexpr std::size_t kMaxPrepared = 16;

class Cache {
public:
    ~Cache() {
        for (const Prepared& p : entries_)
            EVP_MD_CTX_free(p.ctx);
    }

    bool start(EVP_PKEY* key, PreparedUse use, CK_MECHANISM_TYPE mechanism, const EVP_MD* md,
               EVP_MD_CTX* out) {
        std::lock_guard lock(mutex_);
        EVP_MD_CTX* prepared = find(use, mechanism);
        if (prepared == nullptr) {
            if (entries_.size() >= kMaxPrepared)
                return false;
            prepared = EVP_MD_CTX_new();
            const int ok = prepared == nullptr ? 0
                           : use == PreparedUse::Sign
                               ? EVP_DigestSignInit(prepared, nullptr, md, nullptr, key)
                               : EVP_DigestVerifyInit(prepared, nullptr, md, nullptr, key);
            if (ok != 1) {
                EVP_MD_CTX_free(prepared);
                return false;
            }
            entries_.push_back({use, mechanism, prepared});
        }
        return EVP_MD_CTX_copy_ex(out, prepared) == 1;
    }

private:
    EVP_MD_CTX* find(PreparedUse use, CK_MECHANISM_TYPE mechanism) const {
        for (const Prepared& p : entries_)
            if (p.use == use && p.mechanism == mechanism)
                return p.ctx;
        return nullptr;
    }

    std::mutex mutex_;
    std::vector<Prepared> entries_;
};

int cacheIndex() {
    static const int index =
        CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_EVP_PKEY, 0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The key's prepared contexts hold references to the key, so they cannot hang on it as
// owned data: they are owned beside it, and the key only points at them.
struct Holder {
    EVP_PKEY* key;
    std::optional<Cache> cache;
    explicit Holder(EVP_PKEY* k) : key(k) { cache.emplace(); }
    ~Holder() {
        // Someone else's reference to the key must not find the contexts gone.
        if (cacheIndex() >= 0)
            EVP_PKEY_set_ex_data(key, cacheIndex(), nullptr);
        cache.reset(); // the contexts hold references to the key
        EVP_PKEY_free(key);
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
};

} // namespace

PkeyPtr withPreparedContexts(EVP_PKEY* key) {
    if (key == nullptr)
        return nullptr;
    std::shared_ptr<Holder> holder;
    try {
        holder = std::make_shared<Holder>(key);
    } catch (...) {
        EVP_PKEY_free(key);
        throw;
    }
    // Without the pointer the key still works; its operations then start from scratch.
    const int index = cacheIndex();
    if (index >= 0)
        EVP_PKEY_set_ex_data(key, index, &*holder->cache);
    return PkeyPtr(holder, key);
}

bool startPrepared(EVP_PKEY* key, PreparedUse use, CK_MECHANISM_TYPE mechanism, const EVP_MD* md,
                   EVP_MD_CTX* out) {
    const int index = cacheIndex();
    auto* cache = index < 0 ? nullptr : static_cast<Cache*>(EVP_PKEY_get_ex_data(key, index));
    return cache != nullptr && cache->start(key, use, mechanism, md, out);
}

} // namespace softtoken::crypto
