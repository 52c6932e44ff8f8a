#include "bridge/server/PeerUid.h"
#include "platform/UniqueFd.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace bridge::server {
namespace {

using detail::Endpoint;

// A peer that sent its request and shut its side for writing is in FIN_WAIT1 or FIN_WAIT2; its
// socket is still its own.
constexpr unsigned kPeerStates = 1u << TCP_ESTABLISHED | 1u << TCP_FIN_WAIT1 | 1u << TCP_FIN_WAIT2;
constexpr unsigned kListenStates = 1u << TCP_LISTEN;

using Fd = platform::UniqueFd;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

bool isV4Mapped(const Endpoint& e) {
    static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(e.address.data(), prefix, sizeof prefix) == 0;
}

Endpoint v4Endpoint(const in_addr& address, std::uint16_t port) {
    Endpoint e;
    e.address[10] = e.address[11] = 0xff;
    std::memcpy(e.address.data() + 12, &address, 4);
    e.port = port;
    return e;
}

Endpoint v6Endpoint(const in6_addr& address, std::uint16_t port) {
    Endpoint e;
    std::memcpy(e.address.data(), &address, 16);
    e.port = port;
    return e;
}

std::optional<Endpoint> toEndpoint(const sockaddr_storage& storage, socklen_t length) {
    if (storage.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, &storage, sizeof in);
        return v4Endpoint(in.sin_addr, ntohs(in.sin_port));
    }
    if (storage.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &storage, sizeof in6);
        return v6Endpoint(in6.sin6_addr, ntohs(in6.sin6_port));
    }
    return std::nullopt;
}

// Our end and the peer's end of a connected socket.
struct Connection {
    Endpoint local;
    Endpoint peer;
};

std::optional<Connection> connectionOf(int fd) {
    if (fd < 0)
        return std::nullopt;
    sockaddr_storage local{}, peer{};
    socklen_t localLength = sizeof local, peerLength = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
        return std::nullopt;
    auto localEnd = toEndpoint(local, localLength);
    auto peerEnd = toEndpoint(peer, peerLength);
    if (!localEnd || !peerEnd || peerEnd->port == 0)
        return std::nullopt;
    return Connection{*localEnd, *peerEnd};
}

// ---- netlink (sock_diag) ----

constexpr int kMaxReceives = 4096;         // datagrams per dump; a dump holds ~100 sockets each
constexpr std::size_t kReceiveBuffer = 64 * 1024;  // above the kernel's largest dump datagram
constexpr timeval kReceiveTimeout{1, 0};

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};
static_assert(sizeof(DiagRequest) == NLMSG_LENGTH(sizeof(inet_diag_req_v2)));

void fillSockId(inet_diag_sockid& id, int family, const Endpoint& src, const Endpoint& dst) {
    id.idiag_sport = htons(src.port);
    id.idiag_dport = htons(dst.port);
    if (family == AF_INET) {
        std::memcpy(id.idiag_src, src.address.data() + 12, 4);
        std::memcpy(id.idiag_dst, dst.address.data() + 12, 4);
    } else {
        std::memcpy(id.idiag_src, src.address.data(), 16);
        std::memcpy(id.idiag_dst, dst.address.data(), 16);
    }
    id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
}

std::optional<Endpoint> diagEnd(const inet_diag_msg& msg, bool source) {
    const auto* words = source ? msg.id.idiag_src : msg.id.idiag_dst;
    const std::uint16_t port = ntohs(source ? msg.id.idiag_sport : msg.id.idiag_dport);
    if (msg.idiag_family == AF_INET) {
        in_addr a{};
        std::memcpy(&a, words, 4);
        return v4Endpoint(a, port);
    }
    if (msg.idiag_family == AF_INET6) {
        in6_addr a{};
        std::memcpy(&a, words, 16);
        return v6Endpoint(a, port);
    }
    return std::nullopt;
}

// Whether an AF_INET6 socket in a dump is IPv6-only (so holds no IPv4 port); read from the
// message's attributes, false when the kernel did not say.
bool v6Only(const std::uint8_t* message, std::uint32_t length) {
    std::uint32_t offset = NLMSG_LENGTH(sizeof(inet_diag_msg));
    for (int i = 0; i < 64 && offset + sizeof(nlattr) <= length; ++i) {
        nlattr attribute{};
        std::memcpy(&attribute, message + offset, sizeof attribute);
        if (attribute.nla_len < sizeof(nlattr) || attribute.nla_len > length - offset)
            return false;
        if ((attribute.nla_type & NLA_TYPE_MASK) == INET_DIAG_SKV6ONLY && attribute.nla_len >= NLA_HDRLEN + 1)
            return message[offset + NLA_HDRLEN] != 0;
        offset += NLA_ALIGN(attribute.nla_len);
    }
    return false;
}

Fd openDiagSocket() {
    Fd socket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (socket.get() >= 0 &&
        ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &kReceiveTimeout, sizeof kReceiveTimeout) != 0)
        return Fd(-1);
    return socket;
}

// One request on `socket`; `accept` sees each socket the kernel answers with and returns true
// to stop. Returns false when the kernel refused, the exchange broke or the limits were hit.
template <typename Accept>
bool diagExchange(const Fd& socket, DiagRequest& request, Accept&& accept) {
    if (socket.get() < 0)
        return false;
    static std::atomic<std::uint32_t> sequence{0};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_seq = ++sequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof request))
        return false;
    const bool dump = (request.header.nlmsg_flags & NLM_F_DUMP) != 0;

    // Small answers fit on the stack; a dump gets the large buffer.
    alignas(nlmsghdr) std::uint8_t small[8192];
    std::unique_ptr<std::uint8_t[]> large;
    std::uint8_t* buffer = small;
    std::size_t capacity = sizeof small;
    if (dump) {
        large.reset(new std::uint8_t[kReceiveBuffer]);
        buffer = large.get();
        capacity = kReceiveBuffer;
    }
    for (int receive = 0; receive < kMaxReceives; ++receive) {
        sockaddr_nl from{};
        iovec io{buffer, capacity};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(socket.get(), &message, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || (message.msg_flags & MSG_TRUNC) || from.nl_pid != 0)
            return false;
        std::size_t offset = 0;
        const auto total = static_cast<std::size_t>(got);
        while (offset + sizeof(nlmsghdr) <= total) {
            nlmsghdr header{};
            std::memcpy(&header, buffer + offset, sizeof header);
            if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > total - offset)
                return false;
            const std::uint8_t* body = buffer + offset;
            offset += NLMSG_ALIGN(header.nlmsg_len);
            if (header.nlmsg_seq != request.header.nlmsg_seq)
                continue;  // an answer to an earlier request
            if (header.nlmsg_type == NLMSG_DONE)
                return true;
            if (header.nlmsg_type == NLMSG_ERROR)
                return false;  // ENOENT (no such socket) among others
            if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY || header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                return false;
            inet_diag_msg diag{};
            std::memcpy(&diag, body + NLMSG_HDRLEN, sizeof diag);
            if (accept(diag, body, header.nlmsg_len) || !dump)
                return true;
        }
    }
    return false;
}

std::optional<uid_t> exactLookup(const Connection& c) {
    // The peer's socket has the peer's address as its own (source) end and ours as its remote.
    const int family = isV4Mapped(c.peer) && isV4Mapped(c.local) ? AF_INET : AF_INET6;
    DiagRequest request{};
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.body.sdiag_family = static_cast<std::uint8_t>(family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = kPeerStates;
    fillSockId(request.body.id, family, c.peer, c.local);
    // One socket per thread for these, so that a look-up costs two system calls. A failed
    // exchange may leave answers queued, so its socket is not used again.
    thread_local Fd socket(-1);
    if (socket.get() < 0)
        socket = openDiagSocket();
    std::optional<uid_t> uid;
    const bool answered = diagExchange(socket, request, [&](const inet_diag_msg& diag, const std::uint8_t*, std::uint32_t) {
        // Trust only an answer about exactly the socket asked for.
        if (diag.idiag_state < 32 && (kPeerStates & 1u << diag.idiag_state) != 0 && diagEnd(diag, true) == c.peer &&
            diagEnd(diag, false) == c.local)
            uid = diag.idiag_uid;
        return true;
    });
    if (!answered)
        socket = Fd(-1);
    return answered ? uid : std::nullopt;
}

// The loopback and wildcard addresses whose listeners hold `port` of `family`, as /proc shows
// them; an IPv6 wildcard listener holds the IPv4 port too unless it is IPv6-only.
struct ListenAddresses {
    std::vector<Endpoint> v4;  // in /proc/net/tcp
    std::vector<Endpoint> v6;  // in /proc/net/tcp6
};

ListenAddresses listenAddresses(int family, std::uint16_t port) {
    ListenAddresses out;
    if (family == AF_INET) {
        in_addr loopback{htonl(INADDR_LOOPBACK)}, any{htonl(INADDR_ANY)};
        out.v4 = {v4Endpoint(loopback, port), v4Endpoint(any, port)};
        out.v6 = {v4Endpoint(loopback, port), v4Endpoint(any, port), v6Endpoint(in6addr_any, port)};
    } else {
        out.v6 = {v6Endpoint(in6addr_loopback, port), v6Endpoint(in6addr_any, port)};
    }
    return out;
}

bool validPortFamily(int family, int port) {
    return (family == AF_INET || family == AF_INET6) && port > 0 && port <= 65535;
}

std::optional<uid_t> dumpListeners(int family, std::uint16_t port) {
    const ListenAddresses wanted = listenAddresses(family, port);
    std::optional<uid_t> uid;
    // IPv4 ports can also be held by IPv6 sockets (wildcard or v4-mapped); IPv6 ports only by IPv6 ones.
    for (const int table : family == AF_INET ? std::vector<int>{AF_INET, AF_INET6} : std::vector<int>{AF_INET6}) {
        const std::vector<Endpoint>& candidates = table == AF_INET ? wanted.v4 : wanted.v6;
        DiagRequest request{};
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.body.sdiag_family = static_cast<std::uint8_t>(table);
        request.body.sdiag_protocol = IPPROTO_TCP;
        request.body.idiag_states = 1u << TCP_LISTEN;
        const bool done = diagExchange(openDiagSocket(), request, [&](const inet_diag_msg& diag, const std::uint8_t* message,
                                                    std::uint32_t length) {
            const auto local = diagEnd(diag, true);
            if (diag.idiag_state != TCP_LISTEN || !local || local->port != port)
                return false;
            for (const Endpoint& candidate : candidates) {
                if (*local != candidate)
                    continue;
                const bool wildcard6 = !isV4Mapped(candidate) && candidate.address == Endpoint{}.address;
                if (family == AF_INET && table == AF_INET6 && wildcard6 && v6Only(message, length))
                    continue;
                uid = diag.idiag_uid;
                return true;
            }
            return false;
        });
        if (!done)
            return std::nullopt;
        if (uid)
            return uid;
    }
    return std::nullopt;
}

// ---- /proc/net/tcp6 and /proc/net/tcp ----

constexpr std::size_t kMaxLine = 512;           // real lines are about 150 characters
constexpr long kMaxLines = 4 * 1024 * 1024;     // far above any real socket count

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Exactly `digits` hex digits at `text`.
std::optional<std::uint32_t> parseHex(const char* text, std::size_t digits) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int d = hexDigit(text[i]);
        if (d < 0)
            return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(d);
    }
    return value;
}

// "0100007F:1F90" (tcp) or 32 hex digits and a port (tcp6). The kernel prints each 32-bit word
// of the address as it lies in memory, read as a native integer; copying the parsed word back
// into memory restores the address bytes.
std::optional<Endpoint> parseProcEndpoint(std::string_view field) {
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos || (colon != 8 && colon != 32) || field.size() != colon + 5)
        return std::nullopt;
    const auto port = parseHex(field.data() + colon + 1, 4);
    if (!port)
        return std::nullopt;
    Endpoint e;
    const std::size_t words = colon / 8;
    std::uint8_t raw[16];
    for (std::size_t i = 0; i < words; ++i) {
        const auto word = parseHex(field.data() + 8 * i, 8);
        if (!word)
            return std::nullopt;
        std::memcpy(raw + 4 * i, &*word, 4);
    }
    if (words == 1) {
        in_addr a{};
        std::memcpy(&a, raw, 4);
        e = v4Endpoint(a, 0);
    } else {
        std::memcpy(e.address.data(), raw, 16);
    }
    e.port = static_cast<std::uint16_t>(*port);
    return e;
}

std::optional<uid_t> parseUid(std::string_view field) {
    if (field.empty() || field.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value >= std::numeric_limits<uid_t>::max())  // (uid_t)-1 is no uid
        return std::nullopt;
    return static_cast<uid_t>(value);
}

// The whitespace-separated fields of a line, at most `max`.
std::size_t splitFields(std::string_view line, std::string_view* fields, std::size_t max) {
    std::size_t count = 0, i = 0;
    while (count < max) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
        if (i >= line.size())
            break;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            ++i;
        fields[count++] = line.substr(start, i - start);
    }
    return count;
}

std::optional<uid_t> procPeer(const Connection& c) {
    // A peer socket of family AF_INET appears in tcp; one of AF_INET6 in tcp6, with IPv4
    // addresses v4-mapped.
    const bool v4 = isV4Mapped(c.peer) && isV4Mapped(c.local);
    std::optional<uid_t> six = detail::uidInProcTable("/proc/net/tcp6", c.peer, c.local, kPeerStates);
    if (six || !v4)
        return six;
    return detail::uidInProcTable("/proc/net/tcp", c.peer, c.local, kPeerStates);
}

} // namespace

namespace detail {

std::optional<uid_t> uidInProcTable(const char* path, const Endpoint& local, const Endpoint& remote,
                                    unsigned states) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "re"));
    if (!file)
        return std::nullopt;
    char line[kMaxLine];
    std::optional<uid_t> found;
    for (long number = 0;; ++number) {
        if (!std::fgets(line, sizeof line, file.get()))
            return std::ferror(file.get()) ? std::nullopt : found;
        if (number >= kMaxLines)
            return std::nullopt;
        const std::size_t length = std::strlen(line);
        if (length == 0 || line[length - 1] != '\n')
            return std::nullopt;  // cut off: longer than any line the kernel writes
        if (number == 0)
            continue;  // the heading
        // sl local rem st tx:rx tr:when retrnsmt uid ...
        std::string_view fields[8];
        const std::string_view text(line, length - 1);
        if (splitFields(text, fields, 8) < 8)
            return std::nullopt;
        const auto lineLocal = parseProcEndpoint(fields[1]);
        const auto lineRemote = parseProcEndpoint(fields[2]);
        const auto lineState = fields[3].size() == 2 ? parseHex(fields[3].data(), 2) : std::nullopt;
        if (!lineLocal || !lineRemote || !lineState)
            return std::nullopt;
        if (*lineState >= 32 || (states & 1u << *lineState) == 0 || *lineLocal != local || *lineRemote != remote)
            continue;
        const auto uid = parseUid(fields[7]);
        if (!uid || (found && *found != *uid))
            return std::nullopt;
        found = uid;
    }
}

std::optional<uid_t> peerUidFromNetlink(int fd) {
    const auto c = connectionOf(fd);
    return c ? exactLookup(*c) : std::nullopt;
}

std::optional<uid_t> peerUidFromProc(int fd) {
    const auto c = connectionOf(fd);
    return c ? procPeer(*c) : std::nullopt;
}

std::optional<uid_t> listenerUidFromNetlink(int family, int port) {
    if (!validPortFamily(family, port))
        return std::nullopt;
    return dumpListeners(family, static_cast<std::uint16_t>(port));
}

std::optional<uid_t> listenerUidFromProc(int family, int port) {
    if (!validPortFamily(family, port))
        return std::nullopt;
    const ListenAddresses wanted = listenAddresses(family, static_cast<std::uint16_t>(port));
    const Endpoint nowhere{};  // a listener's remote end is all zeros, in both tables
    Endpoint nowhere4 = nowhere;
    nowhere4.address[10] = nowhere4.address[11] = 0xff;
    for (const Endpoint& candidate : wanted.v4)
        if (auto uid = uidInProcTable("/proc/net/tcp", candidate, nowhere4, kListenStates))
            return uid;
    for (const Endpoint& candidate : wanted.v6)
        if (auto uid = uidInProcTable("/proc/net/tcp6", candidate, nowhere, kListenStates))
            return uid;
    return std::nullopt;
}

} // namespace detail

std::optional<uid_t> peerUid(int fd) {
    const auto c = connectionOf(fd);
    if (!c)
        return std::nullopt;
    if (auto uid = exactLookup(*c))
        return uid;
    return procPeer(*c);
}

std::optional<uid_t> listenerUid(int family, int port) {
    if (auto uid = detail::listenerUidFromNetlink(family, port))
        return uid;
    return detail::listenerUidFromProc(family, port);
}

std::string describeUid(uid_t uid) {
    std::string number = "uid " + std::to_string(uid);
    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = hint > 0 && hint <= 16384 ? static_cast<std::size_t>(hint) : 1024;
    constexpr std::size_t kMaxBuffer = 64 * 1024;
    for (; size <= kMaxBuffer; size *= 2) {
        std::vector<char> buffer(size);
        passwd entry{};
        passwd* result = nullptr;
        const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result);
        if (error == ERANGE)
            continue;
        if (error != 0 || !result || !result->pw_name)
            return number;
        // The name goes into messages and logs: printable ASCII only, else the number alone.
        const std::string_view name(result->pw_name);
        if (name.empty() || name.size() > 64)
            return number;
        for (char ch : name)
            if (ch <= ' ' || ch > '~')
                return number;
        return "user " + std::string(name) + " (" + number + ")";
    }
    return number;
}

} // namespace bridge::server
