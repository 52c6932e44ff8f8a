// SignResult of the 64-bit control through IDispatch::Invoke against the same provider calls made
// directly (acquire the chosen container, get the key, MD5 hash, sign twice for length and
// bytes, release), over the software token. Rounds alternate so both sides see the same disk
// and cache state; the ratio is of the total times. Target: at most 1.1.
//
// Then SignResult against the bare signature it contains: EVP_PKEY_sign, PKCS#1 v1.5 over an
// MD5 DigestInfo, with the token's own key in this process. One of each in turn, 2,000 each;
// the ratio is of the medians. Target: at most 1.3.
#include "SignBench.h"

#include <wincrypt.h>

#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
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

// The bare signature: a context made once, so only EVP_PKEY_sign itself is timed.
class RawSigner {
public:
    explicit RawSigner(EVP_PKEY* key) : ctx_(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free) {
        ok_ = ctx_ && EVP_PKEY_sign_init(ctx_.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx_.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_CTX_set_signature_md(ctx_.get(), EVP_md5()) == 1;
        signature_.resize(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    }
    bool sign(const unsigned char (&hash)[16]) {
        std::size_t length = signature_.size();
        return ok_ && EVP_PKEY_sign(ctx_.get(), signature_.data(), &length, hash, sizeof hash) == 1;
    }

private:
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx_;
    std::vector<unsigned char> signature_;
    bool ok_ = false;
};

double medianMs(std::vector<double>& samples) {
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

template <class F> bool sample(F&& f, std::vector<double>& into) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = f();
    into.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    return ok;
}

// 0 on success; the medians and their ratio on stdout.
int ratioToRawSignature(Control& control, DISPID signResult, const std::vector<control_host::Arg>& arguments,
                        const std::string& text) {
    constexpr int kEach = 2000;
    unsigned char hash[16];
    unsigned int hashLength = 0;
    RawSigner raw(control_host::testKey(2048, 0)); // the key prepareToken imported
    if (EVP_Digest(text.data(), text.size(), hash, &hashLength, EVP_md5(), nullptr) != 1 || !raw.sign(hash)) {
        fprintf(stderr, "control_sign_bench: the bare signature failed\n");
        return 1;
    }
    std::vector<double> control_ms, raw_ms;
    control_ms.reserve(kEach);
    raw_ms.reserve(kEach);
    for (int i = 0; i < kEach; ++i) {
        if (!sample([&] { return control.invoke(signResult, arguments).status() == 0; }, control_ms) ||
            !sample([&] { return raw.sign(hash); }, raw_ms)) {
            fprintf(stderr, "control_sign_bench: a signature failed\n");
            return 1;
        }
    }
    const double c = medianMs(control_ms), r = medianMs(raw_ms);
    printf("SignResult through IDispatch::Invoke: %.3f ms median\n", c);
    printf("EVP_PKEY_sign, same key:              %.3f ms median\n", r);
    printf("ratio (control / raw signature): %.3f, medians of %d each (target: at most 1.3)\n", c / r, kEach);
    return 0;
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
    return ratioToRawSignature(control, signResult, arguments, text);
}
