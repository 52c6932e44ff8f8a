// The provider's link to its token: a private instance of the token library and one module-wide
// session on the token in the first slot that holds one.
//
// The private instance is a separately named copy of the software token module, loaded by full
// path from the provider's own folder, so the instance that LoadLibraryA("meridiaCsp11_2001.dll")
// gives the same process (the controls' token queries, which end with C_Finalize) never shares
// its login. It reads the same configuration variable and the same token files. A library
// configured instead (LibraryChoice.h) is loaded as a private instance of its own
// (PrivateInstance.h), for the same reason.
//
// The session and its login last while the token stays in its slot; every context of the module
// shares them. A removal ends them: the link then starts a new generation for the next token,
// and contexts of the old generation fail with SCARD_W_REMOVED_CARD.
#pragma once

#include <windows.h>

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace providers::token {

struct TokenDescription {
    std::string label;  // blank padding removed
    std::string serial; // blank padding removed
    CK_FLAGS flags = 0;
};

class TokenLink {
public:
    // The module-wide link; every use holds mutex().
    static TokenLink& instance();

    std::recursive_mutex& mutex() { return mutex_; }
    CK_FUNCTION_LIST* functions();
    // Whether the module knows the vendor attributes (it has the vendor extension table): its
    // containers are then CKA_CONTAINER_NAME groups, else CKA_ID groups. Valid once functions()
    // returned a table.
    bool vendorAttributes() const { return vendorAttributes_; }

    // The current token's generation, finding the token and opening the session when there is
    // none. Fails with SCARD_E_NO_SMARTCARD when no slot holds a token, NTE_PROVIDER_DLL_FAIL when
    // the private instance cannot be loaded.
    std::uint64_t attach();
    // The session of `generation`; SCARD_W_REMOVED_CARD when that token has gone (the check asks
    // the token library, so a removal is seen at once).
    CK_SESSION_HANDLE session(std::uint64_t generation);
    bool loggedIn(std::uint64_t generation);
    TokenDescription describe(std::uint64_t generation);

    // A login the PIN step has just made, for the host to take (takeLogin) once: true with the
    // milliseconds since the newest one.
    void noteLogin();
    bool takeLogin(DWORD& msAgo);
    // Logs the token out so that the PIN step asks again; true when nothing is left logged in
    // (no token, no session, or C_Logout done).
    bool endLogin();

    // Throws the Windows code of a failed token call. A code meaning that the token or session
    // has gone ends the generation first.
    [[noreturn]] void fail(CK_RV rv);
    // The code fail() throws, without ending anything.
    static DWORD errorFor(CK_RV rv);

private:
    TokenLink() = default;
    void drop();

    std::recursive_mutex mutex_;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool vendorAttributes_ = true;
    std::uint64_t generation_ = 0; // 0: no token attached
    std::uint64_t lastGeneration_ = 0;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    bool loginUntaken_ = false;
    std::chrono::steady_clock::time_point lastLogin_{};
};

// True for the codes with which a token library reports a pulled token or a closed session.
bool meansRemoved(CK_RV rv);

} // namespace providers::token
