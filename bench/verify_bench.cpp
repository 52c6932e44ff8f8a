// Verification in the software token as a PKCS#11 client makes it: one C_VerifyInit and one
// C_Verify of a 32-byte message with CKM_SHA256_RSA_PKCS on an open session, against the verify
// figure of `openssl speed -seconds 2 rsa2048` in the same run. Target: at least 0.8.
//
//   verify_bench [seconds]
#include <p11-kit/pkcs11.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* kUserPin = "123456";

// A store of its own in a temporary folder, removed at the end.
struct TemporaryStore {
    std::string root;
    TemporaryStore() {
        char pattern[] = "/tmp/verify-bench-XXXXXX";
        if (!mkdtemp(pattern))
            return;
        root = pattern;
        std::ofstream(root + "/token.conf") << "store_dir = " << root << "/store\nslots = 1\n";
        setenv("MERIDIA_TOKEN_CONF", (root + "/token.conf").c_str(), 1);
    }
    ~TemporaryStore() {
        if (!root.empty())
            std::filesystem::remove_all(root);
    }
    bool makeToken() const {
        const std::string tool = std::string(TOKENCTL) + " --conf " + root + "/token.conf ";
        return !root.empty() &&
               std::system((tool + "create bench --label Bench --so-pin 12345678 --user-pin " + kUserPin +
                            " >/dev/null 2>&1")
                               .c_str()) == 0 &&
               std::system((tool + "insert bench --slot 1 >/dev/null 2>&1").c_str()) == 0;
    }
};

// Verifications per second from `openssl speed`; 0 when it did not run.
double opensslVerifyRate() {
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen("openssl speed -seconds 2 rsa2048 2>/dev/null", "r"),
                                                  pclose);
    if (!pipe)
        return 0;
    char line[512];
    double rate = 0;
    while (fgets(line, sizeof line, pipe.get())) {
        double sign = 0, verify = 0, signRate = 0, verifyRate = 0;
        if (std::sscanf(line, "rsa 2048 bits %lfs %lfs %lf %lf", &sign, &verify, &signRate, &verifyRate) == 4)
            rate = verifyRate;
    }
    return rate;
}

bool ok(CK_RV rv, const char* what) {
    if (rv != CKR_OK)
        std::fprintf(stderr, "verify_bench: %s failed: 0x%08lx\n", what, static_cast<unsigned long>(rv));
    return rv == CKR_OK;
}

} // namespace

int main(int argc, char** argv) {
    const double budget = argc > 1 ? std::atof(argv[1]) : 2.0;
    TemporaryStore store;
    if (!store.makeToken()) {
        std::fprintf(stderr, "verify_bench: the token could not be made\n");
        return 1;
    }
    void* library = dlopen(TOKEN_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto* getList = library ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    if (!getList || getList(&f) != CKR_OK || !ok(f->C_Initialize(nullptr), "C_Initialize"))
        return 1;

    CK_SESSION_HANDLE s = 0;
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    CK_ULONG bits = 2048;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pubTemplate[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_TOKEN, &yes, sizeof yes}};
    CK_ATTRIBUTE privTemplate[] = {{CKA_TOKEN, &yes, sizeof yes}};
    CK_MECHANISM generate{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
    std::vector<CK_BYTE> message(32, 0x5a), signature(256);
    CK_ULONG length = signature.size();
    std::string pin = kUserPin;
    if (!ok(f->C_OpenSession(1, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), "C_OpenSession") ||
        !ok(f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()), "C_Login") ||
        !ok(f->C_GenerateKeyPair(s, &generate, pubTemplate, 2, privTemplate, 1, &pub, &priv), "C_GenerateKeyPair") ||
        !ok(f->C_SignInit(s, &mechanism, priv), "C_SignInit") ||
        !ok(f->C_Sign(s, message.data(), message.size(), signature.data(), &length), "C_Sign"))
        return 1;

    const auto once = [&] {
        return f->C_VerifyInit(s, &mechanism, pub) == CKR_OK &&
               f->C_Verify(s, message.data(), message.size(), signature.data(), length) == CKR_OK;
    };
    if (!once()) {
        std::fprintf(stderr, "verify_bench: a verification failed\n");
        return 1;
    }
    long count = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0;
    do {
        for (int i = 0; i < 100; ++i)
            if (!once()) {
                std::fprintf(stderr, "verify_bench: a verification failed\n");
                return 1;
            }
        count += 100;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (elapsed < budget);
    f->C_CloseSession(s);
    f->C_Finalize(nullptr);

    const double ours = count / elapsed;
    const double openssl = opensslVerifyRate();
    if (openssl <= 0) {
        std::fprintf(stderr, "verify_bench: openssl speed gave no figure\n");
        return 1;
    }
    std::printf("C_VerifyInit + C_Verify, SHA256_RSA_PKCS, 32 bytes: %.0f verify/s\n", ours);
    std::printf("openssl speed rsa2048:                             %.0f verify/s\n", openssl);
    std::printf("ratio (token / openssl): %.3f (target: at least 0.8)\n", ours / openssl);
    return 0;
}
