#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <mutex>

namespace softtoken::module {

// The lock that guards the module's state, as chosen by C_Initialize: our own
// mutex, or the application's mutex callbacks when it gives them without
// CKF_OS_LOCKING_OK.
class Locking {
public:
    // CKR_ARGUMENTS_BAD when only some callbacks are given or pReserved is set.
    static CK_RV create(const CK_C_INITIALIZE_ARGS* args, std::unique_ptr<Locking>& out);
    ~Locking();
    Locking(const Locking&) = delete;
    Locking& operator=(const Locking&) = delete;

    void lock();
    void unlock() noexcept;

private:
    Locking() = default;
    std::mutex own_;
    CK_C_INITIALIZE_ARGS callbacks_{};
    void* appMutex_ = nullptr;
};

class LockGuard {
public:
    explicit LockGuard(Locking& l) : l_(l) { l_.lock(); }
    ~LockGuard() { l_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Locking& l_;
};

} // namespace softtoken::module
