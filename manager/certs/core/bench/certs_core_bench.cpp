// Two timings of the certificate core over the software token:
//   - a 2048-bit PKCS#12 file imported end to end (without the dialog's fixed wait);
//   - the certificate view's tree built for a token with 100 containers (300 objects).
// Prints the median and the range of each; exit status 1 when the set-up fails.

#include "ContainerModel.h"
#include "ImportFlow.h"
#include "Pkcs12Import.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool run(std::vector<std::string> arguments) {
    pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        std::vector<char*> argv{const_cast<char*>(TOKENCTL)};
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(TOKENCTL, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Bytes makePfx(const std::string& cn, EVP_PKEY* key) {
    certs::X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400L * 365);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    X509_set_pubkey(certificate.get(), key);
    X509_sign(certificate.get(), key, EVP_sha256());
    certs::Pkcs12Ptr p12(
        PKCS12_create("secret", nullptr, key, certificate.get(), nullptr, 0, 0, 0, 0, 0));
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(p12.get(), &der);
    Bytes bytes(der, der + std::max(length, 0));
    OPENSSL_free(der);
    return bytes;
}

void report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-44s median %8.2f ms  (min %.2f, max %.2f, n=%zu)\n", what, ms[ms.size() / 2],
                ms.front(), ms.back(), ms.size());
}

double since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace

int main() {
    char pattern[] = "/tmp/certs-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    std::string root = pattern;
    std::filesystem::create_directories(root + "/store");
    std::ofstream(root + "/token.conf") << "store_dir = " << root
                                        << "/store\nslots = 1\npin_iterations = 1\n"
                                           "public_memory = 4000000\nprivate_memory = 4000000\n";
    setenv("MERIDIA_TOKEN_CONF", (root + "/token.conf").c_str(), 1);
    int status = 1;
    TokenLibrary library;
    {
        SlotManager slots(library);
        if (run({"create", "bench", "--so-pin", "12345678", "--user-pin", "1234"}) &&
            run({"insert", "bench", "--slot", "1"}) && library.load(MERIDIA_MODULE) &&
            slots.initialize() && slots.findSlot(1) != nullptr) {
            SlotEntry* slot = slots.findSlot(1);
            slot->login(reinterpret_cast<const CK_UTF8CHAR*>("1234"), 4);
            certs::EvpPkeyPtr key(EVP_RSA_gen(2048));
            std::string pfx = root + "/bench.pfx";
            Bytes file = makePfx("Bench", key.get());
            std::ofstream(pfx, std::ios::binary)
                .write(reinterpret_cast<const char*>(file.data()),
                       static_cast<std::streamsize>(file.size()));

            std::vector<double> imports;
            for (int i = 0; i < 25; ++i) {
                ImportRequest request{1, pfx, "secret", {}, std::nullopt};
                Clock::time_point start = Clock::now();
                ImportFlowOutcome outcome = RunCertificateImport(library, slots, request, {});
                imports.push_back(since(start));
                if (!outcome.imported) {
                    std::fprintf(stderr, "import failed: %s\n", outcome.messageText.c_str());
                    break;
                }
            }
            // 25 containers so far; fill to 100 with further imports.
            for (int i = 25; i < 100; ++i) {
                ImportRequest request{1, pfx, "secret", {}, std::nullopt};
                RunCertificateImport(library, slots, request, {});
            }
            std::vector<double> refreshes;
            size_t roots = 0;
            for (int i = 0; i < 15; ++i) {
                Clock::time_point start = Clock::now();
                ContainerTree tree =
                    BuildContainerTree(library.functions(), *slot, std::time(nullptr));
                refreshes.push_back(since(start));
                roots = tree.roots.size();
            }
            if (imports.size() == 25) {
                report("PKCS#12 import, 2048-bit, end to end", imports);
                std::printf("tree with %zu containers (%zu objects):\n", roots,
                            slot->objects.size());
                report("certificate view refresh", refreshes);
                status = 0;
            }
        }
        slots.shutdown();
    }
    library.unload();
    std::filesystem::remove_all(root);
    return status;
}
