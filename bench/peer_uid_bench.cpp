// The uid look-up the bridge makes for every accepted connection, through sock_diag and through
// the /proc/net/tcp* fallback, timed on the same connections. Target: netlink p99 at most 50 us.
//
// Usage: peer_uid_bench [CONNECTIONS]   (default 1000, for each mechanism)
#include "bridge/server/PeerUid.h"
#include "platform/UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace detail = bridge::server::detail;

using Fd = platform::UniqueFd;

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

template <typename Lookup>
bool timeOne(Lookup lookup, int fd, std::vector<double>& into) {
    const auto start = Clock::now();
    const auto uid = lookup(fd);
    into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    return uid && *uid == ::getuid();
}

} // namespace

int main(int argc, char** argv) {
    const long connections = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    if (connections < 10 || connections > 1000000) {
        std::fprintf(stderr, "usage: peer_uid_bench [CONNECTIONS from 10 to 1000000]\n");
        return 2;
    }
    const Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.get(), 64) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("peer_uid_bench: listen");
        return 1;
    }

    // Each mechanism over its own run of fresh connections: a /proc read walks the kernel's
    // whole socket table and leaves the caches cold for whatever runs next.
    std::vector<double> netlink, proc;
    for (auto [lookup, times] : {std::pair{&detail::peerUidFromNetlink, &netlink},
                                 std::pair{&detail::peerUidFromProc, &proc}}) {
        times->reserve(static_cast<std::size_t>(connections));
        for (long i = 0; i < connections; ++i) {
            const Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            // Reset on close: no TIME_WAIT lines pile up in /proc/net/tcp across the run.
            const linger reset{1, 0};
            ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            if (::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                std::perror("peer_uid_bench: connect");
                return 1;
            }
            const Fd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!timeOne(lookup, accepted.get(), *times)) {
                std::fprintf(stderr, "peer_uid_bench: a look-up did not give our uid (connection %ld)\n", i);
                return 1;
            }
        }
    }

    const double netlink50 = percentile(netlink, 0.50), netlink99 = percentile(netlink, 0.99);
    const double proc50 = percentile(proc, 0.50), proc99 = percentile(proc, 0.99);
    std::printf("peer uid look-up, %ld loopback connections for each\n", connections);
    std::printf("  %-10s p50 %8.1f us   p99 %8.1f us\n", "netlink", netlink50, netlink99);
    std::printf("  %-10s p50 %8.1f us   p99 %8.1f us\n", "/proc", proc50, proc99);
    std::printf("  /proc over netlink: p50 x%.2f, p99 x%.2f\n", proc50 / netlink50, proc99 / netlink99);
    std::printf("  target netlink p99 <= 50 us: %s\n", netlink99 <= 50.0 ? "met" : "MISSED");
    return 0;
}
