#include "bridge/server/http/RouterSocket.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace bridge::server::http {

namespace {

std::mutex handOverMutex;
std::optional<HandOver> pendingHandOver;

bool loopbackAddress(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    if (address.ss_family != AF_INET6)
        return false;
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&v6))
        return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

int intOption(int fd, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, name, &value, &length) != 0)
        return -1;
    return value;
}

} // namespace

void serveHandedOver(HandOver handOver) {
    std::lock_guard lock(handOverMutex);
    pendingHandOver = std::move(handOver);
}

std::optional<HandOver> takeHandOver() {
    std::lock_guard lock(handOverMutex);
    std::optional<HandOver> out = std::move(pendingHandOver);
    pendingHandOver.reset();
    return out;
}

Received receiveHandedOver(int fd, platform::UniqueFd& out, std::string& why) {
    // Room for a few descriptors, so that a message with more than one is seen as such and
    // every one of them is closed rather than left open in this process.
    constexpr std::size_t kRoom = 8;
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * kRoom)> control{};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    const ssize_t got = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return Received::notYet;

    std::vector<platform::UniqueFd> received;
    bool foreign = false; // control data other than descriptors
    if (got > 0) {
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
                foreign = true;
                continue;
            }
            const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int passed = -1;
                std::memcpy(&passed, CMSG_DATA(header) + i * sizeof(int), sizeof passed);
                received.emplace_back(passed);
            }
        }
    }
    if (got < 0) {
        why = std::string("reading the hand-over failed: ").append(std::strerror(errno));
        return Received::refused;
    }
    if (got == 0) {
        why = "the unix connection closed without a hand-over";
        return Received::refused;
    }
    if (byte != 'C' || foreign || (message.msg_flags & MSG_CTRUNC) || received.size() != 1) {
        why = "a hand-over other than one 'C' with one descriptor";
        return Received::refused;
    }
    out = std::move(received.front());
    return Received::connection;
}

bool loopbackTcpConnection(int fd, std::string& why) {
    struct stat status{};
    if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) {
        why = "the descriptor is not a socket";
        return false;
    }
    const int domain = intOption(fd, SO_DOMAIN);
    if ((domain != AF_INET && domain != AF_INET6) || intOption(fd, SO_TYPE) != SOCK_STREAM ||
        intOption(fd, SO_PROTOCOL) != IPPROTO_TCP) {
        why = "the descriptor is not a TCP socket";
        return false;
    }
    if (intOption(fd, SO_ACCEPTCONN) != 0) {
        why = "the descriptor is a listening socket";
        return false;
    }
    sockaddr_storage local{};
    sockaddr_storage peer{};
    socklen_t localLength = sizeof local;
    socklen_t peerLength = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
        why = "the TCP socket is not connected";
        return false;
    }
    if (!loopbackAddress(local) || !loopbackAddress(peer)) {
        why = "the TCP connection is not between loopback addresses";
        return false;
    }
    return true;
}

} // namespace bridge::server::http
