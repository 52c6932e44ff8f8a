#include "bridge/router/Listeners.h"

#include "bridge/router/FdStore.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace bridge::router {
namespace {

using platform::UniqueFd;

constexpr int kFirstPassed = 3;
// More than the socket unit holds by far; a larger count is a broken environment.
constexpr std::size_t kMaxPassed = 64;
// Kept registrations come back beside the sockets, one per uid.
constexpr long kMaxStored = 65536;
constexpr std::size_t kMaxFdNames = kMaxPassed + kMaxStored;
constexpr int kBacklog = 4096;

std::string errorText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool parseNumber(const char* text, long& value) {
    if (text == nullptr || *text == '\0')
        return false;
    const char* end = text + std::strlen(text);
    const auto [ptr, ec] = std::from_chars(text, end, value);
    return ec == std::errc() && ptr == end;
}

bool isListeningStream(int fd) {
    int type = 0, listening = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return false;
    length = sizeof listening;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening;
}

// Never block in accept: a connection can go between the wake-up and the accept.
bool makeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

} // namespace

bool takeSystemdListeners(Listeners& out, bool& found, std::string& error) {
    found = false;
    long pid = 0, count = 0;
    const bool forUs = parseNumber(std::getenv("LISTEN_PID"), pid) && pid == ::getpid() &&
                       parseNumber(std::getenv("LISTEN_FDS"), count);
    std::vector<std::string> names;
    if (const char* text = std::getenv("LISTEN_FDNAMES")) {
        std::string all = text;
        for (std::size_t start = 0; start <= all.size() && names.size() <= kMaxFdNames;) {
            const auto colon = std::min(all.find(':', start), all.size());
            names.push_back(all.substr(start, colon - start));
            start = colon + 1;
        }
    }
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!forUs || count == 0)
        return true;
    found = true;
    if (count < 0 || count > static_cast<long>(kMaxPassed) + kMaxStored) {
        error = "LISTEN_FDS is out of range";
        return false;
    }
    for (int fd = kFirstPassed; fd < kFirstPassed + count; ++fd) {
        UniqueFd owned(fd);
        const std::size_t index = static_cast<std::size_t>(fd - kFirstPassed);
        uid_t uid = 0;
        if (index < names.size() && FdStore::uidFromName(names[index], uid)) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            out.stored.emplace_back(uid, std::move(owned));
            continue;
        }
        if (out.tcp.size() + out.registration.size() >= kMaxPassed) {
            error = "more sockets passed than the router takes";
            return false;
        }
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            !isListeningStream(fd)) {
            error = "passed descriptor " + std::to_string(fd) + " is no listening stream socket";
            return false;
        }
        if (!makeNonBlocking(fd)) {
            error = errorText("passed descriptor " + std::to_string(fd));
            return false;
        }
        switch (address.ss_family) {
        case AF_INET:
        case AF_INET6:
            out.tcp.push_back(std::move(owned));
            break;
        case AF_UNIX:
            out.registration.push_back(std::move(owned));
            break;
        default:
            error = "passed descriptor " + std::to_string(fd) + " is of an unexpected family";
            return false;
        }
    }
    return true;
}

UniqueFd listenTcp(const std::string& spec, std::string& error) {
    const auto colon = spec.rfind(':');
    std::string host = colon == std::string::npos ? "" : spec.substr(0, colon);
    const std::string portText = colon == std::string::npos ? "" : spec.substr(colon + 1);
    long port = -1;
    if (!parseNumber(portText.c_str(), port) || port < 0 || port > 65535) {
        error = "--tcp wants ADDRESS:PORT, got \"" + spec + "\"";
        return {};
    }
    const bool v6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    if (v6)
        host = host.substr(1, host.size() - 2);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1)
            length = 0;
        else
            length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&address);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<std::uint16_t>(port));
        length = ::inet_pton(AF_INET, host.c_str(), &a->sin_addr) == 1 ? sizeof *a : 0;
    }
    if (length == 0) {
        error = "--tcp: \"" + host + "\" is no IP address";
        return {};
    }
    UniqueFd fd(::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    if (fd.get() < 0 || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (v6 && ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(fd.get(), kBacklog) != 0) {
        error = errorText("--tcp " + spec);
        return {};
    }
    return fd;
}

UniqueFd listenUnix(const std::string& path, std::string& error) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "--registration: the path is empty or too long";
        return {};
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 ||
        ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), 0666) != 0 || ::listen(fd.get(), kBacklog) != 0) {
        error = errorText("--registration " + path);
        return {};
    }
    return fd;
}

std::string describeListener(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return "?";
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
        ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(a->sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&address);
        ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        // Appended, not "[" + ...: GCC 12 at -O3 warns falsely on that form (-Wrestrict).
        std::string described = "[";
        described.append(text).append("]:").append(std::to_string(ntohs(a->sin6_port)));
        return described;
    }
    if (address.ss_family == AF_UNIX) {
        const auto* a = reinterpret_cast<const sockaddr_un*>(&address);
        const std::size_t room = length > offsetof(sockaddr_un, sun_path)
                                     ? length - offsetof(sockaddr_un, sun_path) : 0;
        return std::string(a->sun_path, strnlen(a->sun_path, std::min(room, sizeof a->sun_path)));
    }
    return "?";
}

} // namespace bridge::router
