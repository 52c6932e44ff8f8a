// The certificate view's refresh as the user sees it: the token's objects
// reloaded, grouped, and drawn into the tree, for a token with 100 key
// containers (300 objects), offscreen. Prints the median and the range;
// exit status 1 when the set-up fails.

#include "SlotManager.h"

#include "../core/bench/BenchToken.h"

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
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    bench::TokenDir dir("/tmp/certs-view-bench-XXXXXX");
    if (!dir.ok())
        return 1;
    const std::string& root = dir.root();

    int status = 1;
    TokenLibrary& library = TokenLibrary::instance();
    SlotManager& manager = SlotManager::instance();
    manager.setPollInterval(std::chrono::hours(24));
    if (bench::createToken() && library.load(MERIDIA_MODULE) && manager.initialize() &&
        manager.findSlot(1) != nullptr) {
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
            filled = bench::writePfx(pfx, "Holder " + std::to_string(i), key.get()) &&
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
    return status;
}
