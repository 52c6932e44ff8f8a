#include "bridge/server/http/Listener.h"

#include "bridge/server/PeerUid.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>
#include <utility>

namespace bridge::server::http {

namespace {

constexpr int kBacklog = 1024;

// SO_REUSEADDR alone lets a restart bind while old connections time out; SO_REUSEPORT would
// also let another program of the user listen on the same address and port and silently take
// a share of the pages' connections.
void reuseAddressOnly(int fd) {
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// A machine without ::1 is served on 127.0.0.1 alone; one with it must have both.
bool haveLoopbackV6() {
    const UniqueFd fd(::socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    return fd.get() >= 0 && ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// For port 0: a port no socket holds on any address, kept while the listeners bind it. Bound to
// the wildcard with SO_REUSEADDR and never listening, it lets them bind 127.0.0.1 and ::1 to
// the port, while others asking for any port are kept off it. Nullopt when there is none.
std::optional<std::pair<UniqueFd, int>> reserveFreePort() {
    UniqueFd fd(::socket(AF_INET6, SOCK_STREAM, 0));
    sockaddr_storage address{};
    socklen_t length = 0;
    if (fd.get() >= 0) {
        const int no = 0;
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
        auto& any = reinterpret_cast<sockaddr_in6&>(address);
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        length = sizeof any;
    } else {
        fd.reset(::socket(AF_INET, SOCK_STREAM, 0));
        auto& any = reinterpret_cast<sockaddr_in&>(address);
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        length = sizeof any;
    }
    if (fd.get() < 0)
        return std::nullopt;
    reuseAddressOnly(fd.get());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return std::nullopt;
    const in_port_t port = address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                                          : reinterpret_cast<sockaddr_in&>(address).sin_port;
    return std::make_pair(std::move(fd), static_cast<int>(ntohs(port)));
}

UniqueFd listenAt(int family, int port) {
    UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return fd;
    reuseAddressOnly(fd.get());
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
        const int yes = 1;
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &yes, sizeof yes);
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
        v6.sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof v6;
    } else {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        v4.sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof v4;
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd.get(), kBacklog) != 0)
        fd.reset();
    return fd;
}

std::string takenError(int family, int port) {
    const std::string portText = std::to_string(port);
    std::string error = family == AF_INET6 ? "cannot listen on [::1]:" : "cannot listen on 127.0.0.1:";
    error.append(portText).append(": ");
    if (const std::optional<uid_t> holder = listenerUid(family, port))
        return error.append("port ").append(portText).append(" is held by ").append(describeUid(*holder));
    return error.append("the port is taken");
}

} // namespace

bool listenOnLoopback(int port, LoopbackSockets& sockets, std::string& error,
                      const std::function<void(const std::string&)>& log) {
    // The page may name either address, so a port held by someone else on either is refused:
    // that program would be answering the bridge's pages.
    std::optional<std::pair<UniqueFd, int>> reservation;
    if (port == 0) {
        reservation = reserveFreePort();
        if (!reservation) {
            error = "no port is free on both 127.0.0.1 and ::1";
            return false;
        }
        port = reservation->second;
    }
    UniqueFd v4 = listenAt(AF_INET, port);
    if (v4.get() < 0) {
        error = takenError(AF_INET, port);
        return false;
    }
    UniqueFd v6 = listenAt(AF_INET6, port);
    if (v6.get() < 0 && haveLoopbackV6()) {
        error = takenError(AF_INET6, port);
        return false;
    }
    if (v6.get() < 0)
        log("this machine has no ::1; serving 127.0.0.1 only");
    sockets.v4 = std::move(v4);
    sockets.v6 = std::move(v6);
    sockets.port = port;
    return true;
}

} // namespace bridge::server::http
