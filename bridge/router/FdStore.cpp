#include "bridge/router/FdStore.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace bridge::router {

FdStore::FdStore() {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path != nullptr && (path[0] == '/' || path[0] == '@') &&
        std::strlen(path) < sizeof(sockaddr_un::sun_path)) {
        address_ = path;
        socket_.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    }
    ::unsetenv("NOTIFY_SOCKET");
}

std::string FdStore::nameFor(uid_t uid) {
    return "uid-" + std::to_string(uid);
}

bool FdStore::uidFromName(const std::string& name, uid_t& uid) {
    if (name.size() <= 4 || name.compare(0, 4, "uid-") != 0)
        return false;
    unsigned long value = 0;
    const char* end = name.data() + name.size();
    const auto [ptr, ec] = std::from_chars(name.data() + 4, end, value);
    if (ec != std::errc() || ptr != end || value >= std::numeric_limits<uid_t>::max())
        return false;
    uid = static_cast<uid_t>(value);
    return true;
}

bool FdStore::send(const std::string& text, int fd) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, address_.data(), address_.size());
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0';
    iovec iov{const_cast<char*>(text.data()), text.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    return ::sendmsg(socket_.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

void FdStore::keep(uid_t uid, int fd) {
    if (!enabled())
        return;
    // Names may repeat in the store, so the uid's earlier descriptor goes first. An O_PATH
    // descriptor cannot be polled, hence FDPOLL=0.
    forget(uid);
    send("FDSTORE=1\nFDPOLL=0\nFDNAME=" + nameFor(uid), fd);
}

void FdStore::forget(uid_t uid) {
    if (enabled())
        send("FDSTOREREMOVE=1\nFDNAME=" + nameFor(uid), -1);
}

} // namespace bridge::router
