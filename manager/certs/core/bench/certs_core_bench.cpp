// Two timings of the certificate core over the software token:
//   - a 2048-bit PKCS#12 file imported end to end (without the dialog's fixed wait);
//   - the certificate view's tree built for a token with 100 containers (300 objects).
// Prints the median and the range of each; exit status 1 when the set-up fails.

#include "ContainerModel.h"
#include "ImportFlow.h"
#include "Pkcs12Import.h"
#include "SlotManager.h"
#include "TokenLibrary.h"

#include "BenchToken.h"

#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

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
    bench::TokenDir dir("/tmp/certs-bench-XXXXXX");
    if (!dir.ok())
        return 1;
    const std::string& root = dir.root();
    int status = 1;
    TokenLibrary library;
    {
        SlotManager slots(library);
        if (bench::createToken() && library.load(MERIDIA_MODULE) && slots.initialize() &&
            slots.findSlot(1) != nullptr) {
            SlotEntry* slot = slots.findSlot(1);
            slot->login(reinterpret_cast<const CK_UTF8CHAR*>("1234"), 4);
            certs::EvpPkeyPtr key(EVP_RSA_gen(2048));
            std::string pfx = root + "/bench.pfx";
            bench::writePfx(pfx, "Bench", key.get());

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
    return status;
}
