// SignResult of the 64-bit control through IDispatch::Invoke against the same provider calls made
// directly (acquire the chosen container, get the key, MD5 hash, sign twice for length and
// bytes, release), over the software token. Rounds alternate so both sides see the same disk
// and cache state; the ratio is of the total times. Target: at most 1.1.
#include "SignBench.h"

#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

using control_host::Control;

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

} // namespace

int main(int argc, char** argv) {
    const char* program = "control_sign_bench";
    const sign_bench::Rounds rounds = sign_bench::roundsFrom(argc, argv);
    if (!sign_bench::prepareToken(program, kContainer))
        return 1;

    control_host::ComApartment apartment;
    Control control = sign_bench::onlineControl();
    if (!control) {
        fprintf(stderr, "control_sign_bench: the control did not go online\n");
        return 1;
    }
    const DISPID signResult = control.idOf("SignResult");
    const std::string text = "benchmark text to sign";
    const std::vector<control_host::Arg> arguments = {text.c_str()};

    const auto timing = sign_bench::timeAlternating(
        program, rounds, [&] { return control.invoke(signResult, arguments).status() == 0; },
        [&] { return directSignature(text); });
    if (!timing)
        return 1;
    sign_bench::report(*timing, rounds, "SignResult through IDispatch::Invoke: ",
                       "same provider calls directly:         ", "ratio (control / direct): ", "");
    return 0;
}
