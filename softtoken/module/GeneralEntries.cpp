// Library, slot and token entry points.
#include "Entry.h"
#include "Mechanisms.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>

using namespace softtoken::module;

namespace softtoken::module {

namespace {
// Replaced in a child after fork(): a lock taken by the parent's thread cannot be released
// by the child's.
std::shared_mutex* gLifecycle = new std::shared_mutex;
} // namespace

std::shared_mutex& lifecycleMutex() {
    return *gLifecycle;
}

std::unique_ptr<Module>& currentModule() {
    static std::unique_ptr<Module> m;
    return m;
}

namespace {
std::atomic<std::uint64_t> gGeneration{0};
std::atomic<pid_t> gProcess{0};

// No entry point runs while the process forks, so the child's copy of the instance has no
// transaction or statement half done, and the child can close its inherited connections
// without touching the parent's files.
void beforeFork() {
    lifecycleMutex().lock();
}
void afterForkInParent() {
    lifecycleMutex().unlock();
}
void afterForkInChild() {
    gProcess.store(::getpid(), std::memory_order_relaxed);
    // The child has one thread; the parent's copy of the lock stays taken and is left behind.
    gLifecycle = new std::shared_mutex;
}

void watchForks() {
    static std::once_flag once;
    std::call_once(once, [] { ::pthread_atfork(beforeFork, afterForkInParent, afterForkInChild); });
    // Also right after a fork that ran no handlers (a raw clone()).
    gProcess.store(::getpid(), std::memory_order_relaxed);
}

// Drops an instance inherited through fork(). Its connections are closed before the child
// opens its own: closing a descriptor ends every lock this process holds on that file, so
// closing them later would take the locks from under the child's new connections. The
// parent's locks are its own and are not touched.
bool discardInherited(std::unique_ptr<Module>& m) {
    if (!m || m->process() == ::getpid())
        return false;
    m.reset();
    return true;
}

void pinFlags(CK_FLAGS& flags, std::uint8_t failures, std::uint8_t limit, CK_FLAGS low,
              CK_FLAGS finalTry, CK_FLAGS locked) {
    if (failures > 0)
        flags |= low;
    if (limit == 0) // no limit configured: the PIN never locks
        return;
    if (failures >= limit)
        flags |= locked;
    else if (limit - failures == 1)
        flags |= finalTry;
}
} // namespace

std::uint64_t lifecycleGeneration() {
    return gGeneration.load();
}

pid_t currentProcess() {
    return gProcess.load(std::memory_order_relaxed);
}

} // namespace softtoken::module

SOFTTOKEN_EXPORT CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    try {
        std::unique_lock life(lifecycleMutex());
        watchForks();
        if (discardInherited(currentModule()))
            ++gGeneration;
        if (currentModule())
            return CKR_CRYPTOKI_ALREADY_INITIALIZED;
        std::unique_ptr<Module> m;
        const CK_RV rv = Module::create(static_cast<const CK_C_INITIALIZE_ARGS*>(pInitArgs), m);
        if (rv != CKR_OK)
            return rv;
        currentModule() = std::move(m);
        return CKR_OK;
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

SOFTTOKEN_EXPORT CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    try {
        std::unique_lock life(lifecycleMutex());
        if (discardInherited(currentModule())) {
            ++gGeneration;
            return CKR_CRYPTOKI_NOT_INITIALIZED; // the child never initialized it
        }
        if (!currentModule())
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        if (pReserved)
            return CKR_ARGUMENTS_BAD;
        ++gGeneration;
        currentModule().reset();
        return CKR_OK;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

SOFTTOKEN_EXPORT CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return withModule([&](Module& m) -> CK_RV {
        if (!pInfo)
            return CKR_ARGUMENTS_BAD;
        *pInfo = CK_INFO{};
        pInfo->cryptokiVersion = {2, 40};
        padded(pInfo->manufacturerID, sizeof pInfo->manufacturerID,
               m.identity().libraryManufacturer);
        pInfo->flags = 0;
        padded(pInfo->libraryDescription, sizeof pInfo->libraryDescription,
               m.identity().libraryDescription);
        pInfo->libraryVersion = {1, 0};
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR pSlotList,
                                     CK_ULONG_PTR pulCount) {
    return withModule([&](Module& m) -> CK_RV {
        if (!pulCount)
            return CKR_ARGUMENTS_BAD;
        m.pumpEvents();
        std::vector<CK_SLOT_ID> slots;
        for (CK_SLOT_ID i = 1; i <= m.slotCount(); ++i)
            if (!tokenPresent || m.tokenPresent(i))
                slots.push_back(i);
        if (!pSlotList) {
            *pulCount = slots.size();
            return CKR_OK;
        }
        if (*pulCount < slots.size()) {
            *pulCount = slots.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        std::copy(slots.begin(), slots.end(), pSlotList);
        *pulCount = slots.size();
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GetSlotInfo(CK_SLOT_ID slotID, CK_SLOT_INFO_PTR pInfo) {
    return withModule([&](Module& m) -> CK_RV {
        if (!pInfo)
            return CKR_ARGUMENTS_BAD;
        if (!m.validSlot(slotID))
            return CKR_SLOT_ID_INVALID;
        m.pumpEvents();
        *pInfo = CK_SLOT_INFO{};
        padded(pInfo->slotDescription, sizeof pInfo->slotDescription,
               "Virtual USB Token Reader " + std::to_string(slotID));
        padded(pInfo->manufacturerID, sizeof pInfo->manufacturerID,
               m.identity().libraryManufacturer);
        pInfo->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
        if (m.tokenPresent(slotID))
            pInfo->flags |= CKF_TOKEN_PRESENT;
        pInfo->hardwareVersion = {1, 0};
        pInfo->firmwareVersion = {1, 0};
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GetTokenInfo(CK_SLOT_ID slotID, CK_TOKEN_INFO_PTR pInfo) {
    return withModule([&](Module& m) -> CK_RV {
        if (!pInfo)
            return CKR_ARGUMENTS_BAD;
        m.pumpEvents();
        store::TokenRecord r;
        if (CK_RV rv = readTokenRecord(m, slotID, r); rv != CKR_OK)
            return rv;
        *pInfo = CK_TOKEN_INFO{};
        padded(pInfo->label, sizeof pInfo->label, r.label);
        padded(pInfo->manufacturerID, sizeof pInfo->manufacturerID, m.identity().tokenManufacturer);
        padded(pInfo->model, sizeof pInfo->model, m.identity().tokenModel);
        padded(pInfo->serialNumber, sizeof pInfo->serialNumber, r.serial);
        CK_FLAGS flags = CKF_RNG | CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED;
        if (r.userPinInitialized)
            flags |= CKF_USER_PIN_INITIALIZED;
        pinFlags(flags, r.userFailures, r.userRetryLimit, CKF_USER_PIN_COUNT_LOW,
                 CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED);
        pinFlags(flags, r.soFailures, r.soRetryLimit, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY,
                 CKF_SO_PIN_LOCKED);
        pInfo->flags = flags;
        pInfo->ulMaxSessionCount = kMaxSessions;
        pInfo->ulSessionCount = m.sessionCount(slotID, false);
        pInfo->ulMaxRwSessionCount = kMaxSessions;
        pInfo->ulRwSessionCount = m.sessionCount(slotID, true);
        pInfo->ulMaxPinLen = r.maxPinLen;
        pInfo->ulMinPinLen = r.minPinLen;
        pInfo->ulTotalPublicMemory = r.publicMemoryTotal;
        pInfo->ulFreePublicMemory =
            r.publicMemoryTotal > r.publicMemoryUsed ? r.publicMemoryTotal - r.publicMemoryUsed : 0;
        pInfo->ulTotalPrivateMemory = r.privateMemoryTotal;
        pInfo->ulFreePrivateMemory = r.privateMemoryTotal > r.privateMemoryUsed
                                         ? r.privateMemoryTotal - r.privateMemoryUsed
                                         : 0;
        pInfo->hardwareVersion = {1, 0};
        pInfo->firmwareVersion = {1, 0};
        padded(pInfo->utcTime, sizeof pInfo->utcTime, "");
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GetMechanismList(CK_SLOT_ID slotID, CK_MECHANISM_TYPE_PTR pMechanismList,
                                          CK_ULONG_PTR pulCount) {
    return withModule([&](Module& m) -> CK_RV {
        if (!pulCount)
            return CKR_ARGUMENTS_BAD;
        if (!m.validSlot(slotID))
            return CKR_SLOT_ID_INVALID;
        if (!m.tokenPresent(slotID))
            return CKR_TOKEN_NOT_PRESENT;
        const auto all = supportedMechanisms();
        if (!pMechanismList) {
            *pulCount = all.size();
            return CKR_OK;
        }
        if (*pulCount < all.size()) {
            *pulCount = all.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        for (std::size_t i = 0; i < all.size(); ++i)
            pMechanismList[i] = all[i].type;
        *pulCount = all.size();
        return CKR_OK;
    });
}

SOFTTOKEN_EXPORT CK_RV C_GetMechanismInfo(CK_SLOT_ID slotID, CK_MECHANISM_TYPE type,
                                          CK_MECHANISM_INFO_PTR pInfo) {
    return withModule([&](Module& m) -> CK_RV {
        if (!pInfo)
            return CKR_ARGUMENTS_BAD;
        if (!m.validSlot(slotID))
            return CKR_SLOT_ID_INVALID;
        if (!m.tokenPresent(slotID))
            return CKR_TOKEN_NOT_PRESENT;
        for (const MechanismEntry& e : supportedMechanisms())
            if (e.type == type) {
                pInfo->flags = e.flags;
                pInfo->ulMinKeySize = e.rsa ? m.config().rsaMinBits : 0;
                pInfo->ulMaxKeySize = e.rsa ? m.config().rsaMaxBits : 0;
                return CKR_OK;
            }
        return CKR_MECHANISM_INVALID;
    });
}

SOFTTOKEN_EXPORT CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR pSlot,
                                          CK_VOID_PTR pReserved) {
    const std::uint64_t generation = lifecycleGeneration();
    for (;;) {
        bool found = false;
        const CK_RV rv = withModule([&](Module& m) -> CK_RV {
            if (!pSlot || pReserved)
                return CKR_ARGUMENTS_BAD;
            if (lifecycleGeneration() != generation)
                return CKR_CRYPTOKI_NOT_INITIALIZED;
            m.pumpEvents();
            if (auto e = m.nextEvent()) {
                *pSlot = e->slot;
                found = true;
            }
            return CKR_OK;
        });
        if (rv != CKR_OK)
            return rv;
        if (found)
            return CKR_OK;
        if (flags & CKF_DONT_BLOCK)
            return CKR_NO_EVENT;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

SOFTTOKEN_EXPORT CK_RV C_InitToken(CK_SLOT_ID slotID, CK_UTF8CHAR_PTR pPin, CK_ULONG ulPinLen,
                                   CK_UTF8CHAR_PTR pLabel) {
    return withModule([&](Module& m) -> CK_RV {
        if (!pLabel || (!pPin && ulPinLen != 0))
            return CKR_ARGUMENTS_BAD;
        if (ulPinLen > store::kMaxPinLen)
            return CKR_PIN_LEN_RANGE;
        Token* t = nullptr;
        CK_RV rv = openTokenForInit(m, slotID, t);
        if (rv != CKR_OK)
            return rv;
        std::string label(reinterpret_cast<const char*>(pLabel), 32);
        while (!label.empty() && (label.back() == ' ' || label.back() == '\0'))
            label.pop_back();
        rv = t->db->initializeWithSoPin(SecureBytes(pPin, ulPinLen), label);
        if (rv != CKR_OK)
            return rv;
        tokenReinitialized(m, slotID);
        return CKR_OK;
    });
}
