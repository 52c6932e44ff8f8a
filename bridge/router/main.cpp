// korvan-bridge-router: hands each loopback connection to the bridge of the user who made it.
#include "bridge/router/FdStore.h"
#include "bridge/router/Journal.h"
#include "bridge/router/Listeners.h"
#include "bridge/router/Router.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace bridge::router;

constexpr const char* kUsage =
    "usage: korvan-bridge-router [--tcp ADDRESS:PORT]... [--registration PATH]\n"
    "Takes its sockets from systemd (LISTEN_FDS) or, for tests and runs by hand, from the\n"
    "options: --tcp for pages (\"127.0.0.1:28561\", \"[::1]:28561\"; port 0 picks one),\n"
    "--registration for the unix socket bridges register on.\n";

// Each registration keeps a descriptor; the soft limit goes up to the hard one, and some room
// stays for the connections in hand.
std::size_t registrationCapacity() {
    constexpr rlim_t kReserve = 512;
    constexpr std::size_t kMax = 65536;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 256;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return kMax;
    return limit.rlim_cur <= 2 * kReserve ? limit.rlim_cur / 2
                                          : std::min<std::size_t>(kMax, limit.rlim_cur - kReserve);
}

} // namespace

int main(int argc, char** argv) {
    Journal journal;
    FdStore store;
    Listeners listeners;
    bool fromSystemd = false;
    std::string error;
    if (!takeSystemdListeners(listeners, fromSystemd, error)) {
        journal.always("%s", error.c_str());
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if ((option != "--tcp" && option != "--registration") || i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        const std::string value = argv[++i];
        auto fd = option == "--tcp" ? listenTcp(value, error) : listenUnix(value, error);
        if (fd.get() < 0) {
            journal.always("%s", error.c_str());
            return 1;
        }
        (option == "--tcp" ? listeners.tcp : listeners.registration).push_back(std::move(fd));
    }
    if (listeners.tcp.empty() || listeners.registration.empty()) {
        journal.always("needs at least one TCP socket and one registration socket%s",
                       fromSystemd ? " from its socket unit" : "");
        return 1;
    }

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    RouterLimits limits;
    limits.maxRegistrations = registrationCapacity();
    for (const auto& fd : listeners.tcp)
        std::printf("tcp %s\n", describeListener(fd.get()).c_str());
    for (const auto& fd : listeners.registration)
        std::printf("registration %s\n", describeListener(fd.get()).c_str());
    std::printf("ready, room for %zu registrations\n", limits.maxRegistrations);
    std::fflush(stdout);

    Router router(std::move(listeners), limits, journal, store);
    return router.run();
}
