#include "Locking.h"

#include <stdexcept>

namespace softtoken::module {

CK_RV Locking::create(const CK_C_INITIALIZE_ARGS* args, std::unique_ptr<Locking>& out) {
    std::unique_ptr<Locking> locking(new Locking());
    if (args) {
        if (args->pReserved)
            return CKR_ARGUMENTS_BAD;
        const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                          (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
        if (given != 0 && given != 4)
            return CKR_ARGUMENTS_BAD;
        // With CKF_OS_LOCKING_OK our own mutex serves even when callbacks are given.
        if (given == 4 && !(args->flags & CKF_OS_LOCKING_OK)) {
            locking->callbacks_ = *args;
            const CK_RV rv = args->CreateMutex(&locking->appMutex_);
            if (rv != CKR_OK)
                return rv == CKR_HOST_MEMORY ? rv : CKR_CANT_LOCK;
        }
    }
    out = std::move(locking);
    return CKR_OK;
}

Locking::~Locking() {
    if (appMutex_)
        callbacks_.DestroyMutex(appMutex_);
}

void Locking::lock() {
    if (appMutex_) {
        if (callbacks_.LockMutex(appMutex_) != CKR_OK)
            throw std::runtime_error("application mutex failed");
        return;
    }
    own_.lock();
}

void Locking::unlock() noexcept {
    if (appMutex_) {
        callbacks_.UnlockMutex(appMutex_);
        return;
    }
    own_.unlock();
}

} // namespace softtoken::module
