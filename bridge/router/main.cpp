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

// Shares the descriptors out, after raising the soft limit to the hard one. Every registration
// keeps one, every waiting registration one, every hand-over in flight two (and one more in
// flight in the kernel, which refuses all passing once the router's user has more in flight
// than this limit). The rest is for the listeners and the connections in hand, so that no
// number of users, each within its own caps, can run the router out of descriptors. With the
// unit's LimitNOFILE=131072: 65536 registrations, 4096 hand-overs in flight.
void shareDescriptors(RouterLimits& limits) {
    constexpr rlim_t kReserve = 64;
    constexpr std::size_t kMaxRegistrations = 65536;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        limit.rlim_cur = 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t cap = limit.rlim_cur == RLIM_INFINITY ? rlim_t{1} << 20 : limit.rlim_cur;
    std::size_t room = cap > kReserve ? static_cast<std::size_t>(cap - kReserve) : 0;
    limits.maxWaitingRegistrations = std::max<std::size_t>(1, std::min(limits.maxWaitingRegistrations, room / 4));
    room -= std::min(room, limits.maxWaitingRegistrations);
    limits.maxWaitingRegistrationsPerUid = std::max<std::size_t>(
        1, std::min(limits.maxWaitingRegistrationsPerUid, limits.maxWaitingRegistrations / 4));
    limits.maxHandovers = std::max<std::size_t>(1, std::min(limits.maxHandovers, room / 4));
    room -= std::min(room, 2 * limits.maxHandovers);
    // However few descriptors there are, one uid alone never fills the router.
    limits.handoversPerUid = std::max<std::size_t>(1, std::min(limits.handoversPerUid, limits.maxHandovers / 4));
    limits.maxRegistrations = std::max<std::size_t>(1, std::min(kMaxRegistrations, room));
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
    shareDescriptors(limits);
    for (const auto& fd : listeners.tcp)
        std::printf("tcp %s\n", describeListener(fd.get()).c_str());
    for (const auto& fd : listeners.registration)
        std::printf("registration %s\n", describeListener(fd.get()).c_str());
    std::printf("ready, room for %zu registrations and %zu hand-overs in flight, %zu per uid\n",
                limits.maxRegistrations, limits.maxHandovers, limits.handoversPerUid);
    std::fflush(stdout);

    Router router(std::move(listeners), limits, journal, store);
    return router.run();
}
