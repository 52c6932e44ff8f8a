// SignResult of the 64-bit control through IDispatch::Invoke against the same provider calls made
// directly (acquire the chosen container, get the key, MD5 hash, sign twice for length and
// bytes, release), over the software token. Rounds alternate so both sides see the same disk
// and cache state; the ratio is of the total times. Target: at most 1.1.
#include "ControlHost.h"

#include <wincrypt.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using control_host::Control;
using control_host::TokenStore;

namespace {

constexpr const char* kContainer = "B0000000-0000-0000-0000-0000000000B1";
constexpr const char* kSkyra = "Vaultora CSP v1.0 for Torvik Skyra";

bool directSignature(const std::string& text) {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, kContainer, kSkyra, PROV_RSA_FULL, 0))
        return false;
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    bool ok = CryptGetUserKey(provider, AT_SIGNATURE, &key) &&
              CryptCreateHash(provider, CALG_MD5, 0, 0, &hash) &&
              CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()),
                            static_cast<DWORD>(text.size()), 0);
    DWORD length = 0;
    ok = ok && CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, nullptr, &length);
    std::vector<BYTE> signature(length);
    ok = ok && CryptSignHashA(hash, AT_SIGNATURE, nullptr, 0, signature.data(), &length);
    if (hash != 0)
        CryptDestroyHash(hash);
    if (key != 0)
        CryptDestroyKey(key);
    CryptReleaseContext(provider, 0);
    return ok;
}

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    const int perRound = argc > 2 ? std::atoi(argv[2]) : 10;
    TokenStore& store = TokenStore::instance();
    if (store.root().empty() || control_host::registerProviders() != S_OK ||
        control_host::registerModule(CONTROL_MODULE) != S_OK) {
        fprintf(stderr, "control_sign_bench: set-up failed\n");
        return 1;
    }
    store.removeAllTokens();
    EVP_PKEY* key = control_host::testKey(2048, 0);
    if (store.freshToken(1).empty() ||
        !store.importIdentity(1, kContainer, key,
                              control_host::selfSignedCertificate("Bench Signer", key, 7))) {
        fprintf(stderr, "control_sign_bench: token set-up failed\n");
        return 1;
    }

    control_host::ComApartment apartment;
    Control control = Control::create(u"QXMeridiaControl.SGN");
    if (!control || control.call("IsOnline").status() != 0 ||
        control.call("SetCertResult").status() != 0) {
        fprintf(stderr, "control_sign_bench: the control did not go online\n");
        return 1;
    }
    const DISPID signResult = control.idOf("SignResult");
    const std::string text = "benchmark text to sign";
    const std::vector<control_host::Arg> arguments = {text.c_str()};

    // Warm both paths once.
    if (control.invoke(signResult, arguments).status() != 0 || !directSignature(text)) {
        fprintf(stderr, "control_sign_bench: a signature failed\n");
        return 1;
    }
    std::chrono::steady_clock::duration throughControl{}, direct{};
    for (int r = 0; r < rounds; ++r) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < perRound; ++i)
            if (control.invoke(signResult, arguments).status() != 0)
                return 1;
        throughControl += std::chrono::steady_clock::now() - start;
        start = std::chrono::steady_clock::now();
        for (int i = 0; i < perRound; ++i)
            if (!directSignature(text))
                return 1;
        direct += std::chrono::steady_clock::now() - start;
    }
    const int signatures = rounds * perRound;
    printf("SignResult through IDispatch::Invoke: %.3f ms per signature\n",
           1000 * seconds(throughControl) / signatures);
    printf("same provider calls directly:         %.3f ms per signature\n",
           1000 * seconds(direct) / signatures);
    printf("ratio (control / direct): %.3f over %d signatures each\n",
           seconds(throughControl) / seconds(direct), signatures);
    return 0;
}
