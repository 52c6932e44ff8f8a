// The certificate view's refresh as the user sees it: the token's objects
// reloaded, grouped, and drawn into the tree, for a token with 100 key
// containers (300 objects), offscreen. Prints the median and the range;
// exit status 1 when the set-up fails.

#include "SlotManager.h"

#include "CertManagerFormView.h"
#include "ImportFlow.h"
#include "TokenLibrary.h"

#include <openssl/pkcs12.h>

#include <QApplication>
#include <QTreeWidget>

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

bool tokenctl(std::vector<std::string> arguments) {
    pid_t pid = fork();
    if (pid == 0) {
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            _exit(126);
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

// A PKCS#12 file with a self-signed certificate named `cn` over `key`.
bool writePfx(const std::string& path, const std::string& cn, EVP_PKEY* key) {
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
    std::FILE* file = p12 ? std::fopen(path.c_str(), "wb") : nullptr;
    if (file == nullptr)
        return false;
    bool written = i2d_PKCS12_fp(file, p12.get()) == 1;
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    char pattern[] = "/tmp/certs-view-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        return 1;
    const std::string root = pattern;
    std::filesystem::create_directories(root + "/store");
    std::ofstream(root + "/token.conf") << "store_dir = " << root
                                        << "/store\nslots = 1\npin_iterations = 1\n"
                                           "public_memory = 4000000\nprivate_memory = 4000000\n";
    setenv("MERIDIA_TOKEN_CONF", (root + "/token.conf").c_str(), 1);

    int status = 1;
    TokenLibrary& library = TokenLibrary::instance();
    SlotManager& manager = SlotManager::instance();
    manager.setPollInterval(std::chrono::hours(24));
    if (tokenctl({"create", "bench", "--so-pin", "12345678", "--user-pin", "1234"}) &&
        tokenctl({"insert", "bench", "--slot", "1"}) && library.load(MERIDIA_MODULE) &&
        manager.initialize() && manager.findSlot(1) != nullptr) {
        SlotEntry* slot = manager.findSlot(1);
        slot->login(reinterpret_cast<const CK_UTF8CHAR*>("1234"), 4);
        certs::EvpPkeyPtr key(EVP_RSA_gen(2048));
        bool filled = true;
        for (int i = 0; i < 100 && filled; ++i) {
            std::string pfx = root + "/c" + std::to_string(i) + ".pfx";
            ImportRequest request;
            request.slotId = 1;
            request.path = pfx;
            request.password = "secret";
            filled = writePfx(pfx, "Holder " + std::to_string(i), key.get()) &&
                     RunCertificateImport(library, manager, request, {}).imported;
        }

        CCertManagerFormView view;
        view.setNavigationQuery([] { return std::optional<bool>(true); });
        view.resize(420, 325);
        view.show();
        std::vector<double> ms;
        for (int i = 0; filled && i < 21; ++i) {
            Clock::time_point start = Clock::now();
            view.refresh(1);
            QCoreApplication::processEvents();
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        if (filled && view.tree()->topLevelItemCount() == 100) {
            std::sort(ms.begin(), ms.end());
            std::printf("certificate view refresh, 100 containers (%zu objects): median %.2f ms "
                        "(min %.2f, max %.2f, n=%zu)\n",
                        slot->objects.size(), ms[ms.size() / 2], ms.front(), ms.back(), ms.size());
            status = 0;
        } else {
            std::fprintf(stderr, "certs_view_bench: the token could not be filled\n");
        }
    }
    manager.shutdown();
    library.unload();
    std::filesystem::remove_all(root);
    return status;
}
