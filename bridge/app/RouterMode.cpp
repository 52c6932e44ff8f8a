#include "bridge/app/RouterMode.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace bridge::app {

namespace {

constexpr int kSystemdFirstFd = 3;
constexpr int kRouterWaitMs = 2000;

bool wholeNumber(const char* text, long& value) {
    if (!text || !*text)
        return false;
    const std::string_view view(text);
    const auto [end, failure] = std::from_chars(view.data(), view.data() + view.size(), value);
    return failure == std::errc() && end == view.data() + view.size();
}

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

bool unixAddress(const std::string& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

std::string systemError(const char* what) {
    return std::string(what).append(": ").append(std::strerror(errno));
}

// Waits for `events` on fd; false on time-out or error.
bool waitFor(int fd, short events) {
    pollfd entry{fd, events, 0};
    int ready = 0;
    do {
        ready = ::poll(&entry, 1, kRouterWaitMs);
    } while (ready < 0 && errno == EINTR);
    return ready == 1;
}

} // namespace

platform::UniqueFd socketFromSystemd(const char* listenPid, const char* listenFds, std::string& error) {
    long pid = 0;
    long count = 0;
    if (!wholeNumber(listenPid, pid) || pid != ::getpid() || !wholeNumber(listenFds, count) || count <= 0)
        return {};
    if (count != 1) {
        error = "systemd passed " + std::to_string(count) + " sockets; the bridge takes exactly one";
        return {};
    }
    const int fd = kSystemdFirstFd;
    if (intOption(fd, SOL_SOCKET, SO_DOMAIN) != AF_UNIX || intOption(fd, SOL_SOCKET, SO_TYPE) != SOCK_STREAM ||
        intOption(fd, SOL_SOCKET, SO_ACCEPTCONN) != 1) {
        error = "the socket systemd passed is not a listening unix stream socket";
        return {};
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    return platform::UniqueFd(fd);
}

bool UnixSocketFile::open(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (!unixAddress(path, address)) {
        error = "not a usable socket path: " + path;
        return false;
    }
    platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        error = systemError("socket");
        return false;
    }
    // bind refuses an existing path, so a file someone else made is never replaced.
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = systemError(("cannot make " + path).c_str());
        return false;
    }
    path_ = path;
    if (::chmod(path.c_str(), 0666) != 0 || ::listen(fd.get(), SOMAXCONN) != 0) {
        error = systemError(("cannot listen on " + path).c_str());
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

UnixSocketFile::~UnixSocketFile() {
    if (!path_.empty())
        ::unlink(path_.c_str());
}

std::string boundPath(int fd) {
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 || address.sun_family != AF_UNIX ||
        length <= offsetof(sockaddr_un, sun_path) || address.sun_path[0] == '\0')
        return {};
    const std::size_t size = length - offsetof(sockaddr_un, sun_path);
    return std::string(address.sun_path, strnlen(address.sun_path, size));
}

bool registerWithRouter(const std::string& routerPath, const std::string& socketPath, std::string& error) {
    const platform::UniqueFd file(::open(socketPath.c_str(), O_PATH | O_CLOEXEC));
    struct stat status{};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0) {
        error = systemError(("cannot open the bridge's socket " + socketPath).c_str());
        return false;
    }
    if (!S_ISSOCK(status.st_mode)) {
        error = socketPath + " is not a socket";
        return false;
    }
    sockaddr_un address{};
    if (!unixAddress(routerPath, address)) {
        error = "not a usable router path: " + routerPath;
        return false;
    }
    const platform::UniqueFd router(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (router.get() < 0) {
        error = systemError("socket");
        return false;
    }
    if (::connect(router.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = systemError(("no router at " + routerPath).c_str());
        return false;
    }

    char byte = 'R';
    iovec data{&byte, 1};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    const int passed = file.get();
    std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
    if (!waitFor(router.get(), POLLOUT) || ::sendmsg(router.get(), &message, MSG_NOSIGNAL) != 1) {
        error = systemError(("cannot register with the router at " + routerPath).c_str());
        return false;
    }
    char answer = 0;
    const ssize_t got = waitFor(router.get(), POLLIN) ? ::recv(router.get(), &answer, 1, 0) : -1;
    if (got == 1 && answer == 'K')
        return true;
    if (got == 1 && answer == 'E')
        error = "the router at " + routerPath + " refused the registration of " + socketPath;
    else
        error = "the router at " + routerPath + " gave no answer";
    return false;
}

} // namespace bridge::app
