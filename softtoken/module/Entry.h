#pragma once

// Shared plumbing of the exported entry points: every C_* and E_* function is
// a thin wrapper that checks initialization, takes the lock, catches
// everything and returns a CK_RV.

#include "Module.h"

#include <cstring>
#include <new>
#include <shared_mutex>
#include <string_view>

#define SOFTTOKEN_EXPORT extern "C" __attribute__((visibility("default")))

// The entry points live at global scope, where these short names read best.
namespace crypto = softtoken::crypto;
namespace store = softtoken::store;

namespace softtoken::module {

// Held shared by every call and exclusively by C_Initialize/C_Finalize, so the
// module cannot vanish under a running call.
std::shared_mutex& lifecycleMutex();
std::unique_ptr<Module>& currentModule();
// Bumped by every C_Finalize, so a blocking wait notices it has to give up.
std::uint64_t lifecycleGeneration();
// This process's id, kept up to date across fork() without a system call per entry point.
pid_t currentProcess();

template <class F> CK_RV withModule(F&& body) noexcept {
    try {
        std::shared_lock life(lifecycleMutex());
        Module* m = currentModule().get();
        // A child after fork() has only a copy of the parent's instance: it must call
        // C_Initialize, which gives it its own.
        if (!m || m->process() != currentProcess())
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        LockGuard guard(m->locking());
        return body(*m);
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

// The session plus its token, for entry points that work on a session.
template <class F> CK_RV withSession(CK_SESSION_HANDLE handle, F&& body) noexcept {
    return withModule([&](Module& m) -> CK_RV {
        Session* s = nullptr;
        const CK_RV rv = m.session(handle, s);
        if (rv != CKR_OK)
            return rv;
        return body(m, *s);
    });
}

// The stored record of the slot's token, for entry points that report its state.
inline CK_RV readTokenRecord(Module& m, CK_SLOT_ID slot, store::TokenRecord& out) {
    Token* t = nullptr;
    const CK_RV rv = m.openToken(slot, t);
    if (rv != CKR_OK)
        return rv;
    return t->db->readToken(out);
}

// The slot's token for re-initialisation, which no open session may see happen.
inline CK_RV openTokenForInit(Module& m, CK_SLOT_ID slot, Token*& out) {
    m.pumpEvents();
    const CK_RV rv = m.openToken(slot, out);
    if (rv != CKR_OK)
        return rv;
    return m.sessionCount(slot, false) != 0 ? CKR_SESSION_EXISTS : CKR_OK;
}

// After a re-initialisation: the old state is dropped and listeners are told.
inline void tokenReinitialized(Module& m, CK_SLOT_ID slot) {
    m.resetToken(slot);
    m.appendEvent(slot, E_EVENT_TOKEN_REINITIALIZED);
}

// Blank-padded fixed-width text field, cut when too long.
inline void padded(CK_UTF8CHAR* field, std::size_t width, std::string_view text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

} // namespace softtoken::module
