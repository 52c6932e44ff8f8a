#include "bridge/router/Forwarder.h"

#include "bridge/server/PeerUid.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bridge::router {
namespace {

using platform::UniqueFd;

// Connects to the socket behind the kept O_PATH descriptor through /proc/self/fd, which reaches
// it without walking the user's private runtime folder. A pending connection on the user's
// socket is also what makes the user's systemd start the bridge.
int connectTo(int pathFd, UniqueFd& out) {
    UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (sock.get() < 0)
        return errno;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d", pathFd);
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return errno;
    out = std::move(sock);
    return 0;
}

bool sendDescriptor(int sock, int fd) {
    char byte = 'C';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return ::sendmsg(sock, &message, MSG_DONTWAIT | MSG_NOSIGNAL) == 1;
}

} // namespace

std::optional<Passed> forwardConnection(UniqueFd tcp, Registrations& registrations,
                                        const Handovers& handovers, Journal& journal) {
    const auto uid = bridge::server::peerUid(tcp.get());
    if (!uid) {
        journal.limited("closed a connection whose peer has no local owner");
        return std::nullopt;
    }
    const int pathFd = registrations.find(*uid);
    if (pathFd < 0) {
        journal.limited("closed a connection of uid %u: no bridge registered", *uid);
        return std::nullopt;
    }
    switch (handovers.room(*uid)) {
    case Handovers::Room::UidFull:
        journal.limited("closed a connection of uid %u: %zu hand-overs to its bridge are in flight",
                        *uid, handovers.perUid());
        return std::nullopt;
    case Handovers::Room::RouterFull:
        journal.limited("closed a connection of uid %u: %zu hand-overs are in flight in all", *uid,
                        handovers.size());
        return std::nullopt;
    case Handovers::Room::Yes:
        break;
    }
    UniqueFd bridge;
    if (const int error = connectTo(pathFd, bridge)) {
        if (error == EAGAIN) {
            journal.limited("closed a connection of uid %u: its bridge has no room for more", *uid);
            return std::nullopt;
        }
        // Nothing listens there any more (or it is no socket one can connect to): the user
        // registers again when the socket comes back.
        registrations.drop(*uid);
        journal.limited("closed a connection of uid %u and dropped its registration: %s", *uid,
                        std::strerror(error));
        return std::nullopt;
    }
    // The listener's credentials date from its listen(): the user's systemd or its bridge.
    ucred listener{};
    socklen_t length = sizeof listener;
    if (::getsockopt(bridge.get(), SOL_SOCKET, SO_PEERCRED, &listener, &length) != 0)
        listener.uid = static_cast<uid_t>(-1);
    if (listener.uid != *uid) {
        registrations.drop(*uid);
        journal.limited("closed a connection of uid %u and dropped its registration: "
                        "its socket is listened on by uid %d", *uid, static_cast<int>(listener.uid));
        return std::nullopt;
    }
    if (!sendDescriptor(bridge.get(), tcp.get())) {
        journal.limited("closed a connection of uid %u: passing it failed: %s", *uid,
                        std::strerror(errno));
        return std::nullopt;
    }
    return Passed{*uid, std::move(bridge), std::move(tcp)};
}

} // namespace bridge::router
