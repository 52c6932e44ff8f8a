#include "bridge/server/PeerUid.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace peer = bridge::server;
using bridge::server::detail::Endpoint;

constexpr uid_t kForeignUid = 65534;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_storage address(int family, const char* text, int port) {
    sockaddr_storage storage{};
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, text, &in->sin_addr);
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET6, text, &in6->sin6_addr);
    }
    return storage;
}

socklen_t lengthOf(int family) { return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6); }

int portOf(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    return storage.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port)
                                        : ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
}

// A socket bound to `host` on a free port; listening unless told otherwise.
Fd bound(int family, const char* host, bool listening = true) {
    Fd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (family == AF_INET6) {
        const int off = 0;  // let "::" take IPv4 clients too
        ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    const sockaddr_storage where = address(family, host, 0);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&where), lengthOf(family)) != 0 ||
        (listening && ::listen(fd.get(), 8) != 0))
        ADD_FAILURE() << "cannot bind " << host << ": " << std::strerror(errno);
    return fd;
}

Fd acceptOne(const Fd& listener) {
    pollfd waiting{listener.get(), POLLIN, 0};
    if (::poll(&waiting, 1, 20000) != 1) {
        ADD_FAILURE() << "no connection arrived";
        return Fd();
    }
    return Fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

// How a client reaches the listener: the listener's family and address, the client's.
struct Route {
    const char* name;
    int listenFamily;
    const char* listenHost;
    int clientFamily;
    const char* clientHost;
};
const Route kRoutes[] = {
    {"IPv4", AF_INET, "127.0.0.1", AF_INET, "127.0.0.1"},
    {"IPv6", AF_INET6, "::1", AF_INET6, "::1"},
    // An IPv4 client of a dual-stack listener: the accepted socket sees a v4-mapped peer whose
    // own socket is in /proc/net/tcp.
    {"IPv4 client, dual-stack listener", AF_INET6, "::", AF_INET, "127.0.0.1"},
    // An IPv6 socket with a v4-mapped address: in /proc/net/tcp6 though the connection is IPv4.
    {"v4-mapped client", AF_INET, "127.0.0.1", AF_INET6, "::ffff:127.0.0.1"},
};

// A python3 program run as another uid, from a mode-0755 folder, holding its socket until its
// standard input closes. It prints its socket's port once connected or listening.
class Foreign {
public:
    // mode "connect" or "listen"
    Foreign(const char* mode, int family, const char* host, int port) {
        char pattern[] = "/tmp/peer-uid-XXXXXX";
        folder_ = ::mkdtemp(pattern) ? pattern : "";
        ::chmod(folder_.c_str(), 0755);
        const std::string script = folder_ + "/client.py";
        std::ofstream(script) << "import socket, sys\n"
                                 "family = socket.AF_INET6 if sys.argv[2] == '6' else socket.AF_INET\n"
                                 "s = socket.socket(family, socket.SOCK_STREAM)\n"
                                 "if sys.argv[1] == 'connect':\n"
                                 "    s.connect((sys.argv[3], int(sys.argv[4])))\n"
                                 "else:\n"
                                 "    s.bind((sys.argv[3], 0))\n"
                                 "    s.listen(4)\n"
                                 "print(s.getsockname()[1], flush=True)\n"
                                 "sys.stdin.read()\n";
        ::chmod(script.c_str(), 0644);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return;
        stdin_ = Fd(in[1]);
        stdout_ = Fd(out[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addchdir_np(&actions, folder_.c_str());
        const std::string uidArg = "--reuid=" + std::to_string(kForeignUid);
        const std::string gidArg = "--regid=" + std::to_string(kForeignUid);
        const std::string familyArg = family == AF_INET6 ? "6" : "4";
        const std::string portArg = std::to_string(port);
        std::vector<std::string> args = {"/usr/bin/setpriv", uidArg, gidArg, "--clear-groups",
                                         "/usr/bin/python3", "-I", script, mode, familyArg, host, portArg};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
    }
    ~Foreign() {
        stdin_.reset();
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!folder_.empty())
            std::filesystem::remove_all(folder_);
    }

    // The port it printed, or 0 when it failed.
    int port() {
        std::string line;
        char c;
        pollfd waiting{stdout_.get(), POLLIN, 0};
        while (line.size() < 16 && ::poll(&waiting, 1, 20000) == 1 && ::read(stdout_.get(), &c, 1) == 1 && c != '\n')
            line += c;
        return line.empty() ? 0 : std::atoi(line.c_str());
    }

private:
    std::string folder_;
    pid_t pid_ = -1;
    Fd stdin_, stdout_;
};

// Whether this process can run programs as another uid (root can; CI runs as root).
bool canSwitchUid() {
    if (::geteuid() == 0)
        return true;
    return std::system("/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups /bin/true 2>/dev/null") == 0;
}

} // namespace

TEST(PeerUid, OwnConnectionsGiveOurUidThroughBothMechanisms) {
    for (const Route& route : kRoutes) {
        SCOPED_TRACE(route.name);
        const Fd listener = bound(route.listenFamily, route.listenHost);
        const Fd client(::socket(route.clientFamily, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_storage to = address(route.clientFamily, route.clientHost, portOf(listener.get()));
        ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&to), lengthOf(route.clientFamily)), 0);
        const Fd accepted = acceptOne(listener);
        EXPECT_EQ(peer::peerUid(accepted.get()), ::getuid());
        EXPECT_EQ(peer::detail::peerUidFromNetlink(accepted.get()), ::getuid());
        EXPECT_EQ(peer::detail::peerUidFromProc(accepted.get()), ::getuid());
    }
}

// A client that sends its request and shuts its side for writing at once is still itself.
TEST(PeerUid, AHalfClosedClientIsStillNamed) {
    const Fd listener = bound(AF_INET, "127.0.0.1");
    const Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_storage to = address(AF_INET, "127.0.0.1", portOf(listener.get()));
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&to), lengthOf(AF_INET)), 0);
    const Fd accepted = acceptOne(listener);
    ASSERT_EQ(::shutdown(client.get(), SHUT_WR), 0);
    char byte;
    ASSERT_EQ(::recv(accepted.get(), &byte, 1, 0), 0); // the FIN has arrived: the client is past ESTABLISHED
    EXPECT_EQ(peer::detail::peerUidFromNetlink(accepted.get()), ::getuid());
    EXPECT_EQ(peer::detail::peerUidFromProc(accepted.get()), ::getuid());
}

TEST(PeerUid, AClientOfAnotherUidIsNamedByItsOwnUid) {
    if (!canSwitchUid())
        GTEST_SKIP() << "not root, and setpriv cannot switch to uid 65534 here";
    for (const Route& route : kRoutes) {
        SCOPED_TRACE(route.name);
        const Fd listener = bound(route.listenFamily, route.listenHost);
        Foreign client("connect", route.clientFamily, route.clientHost, portOf(listener.get()));
        ASSERT_NE(client.port(), 0) << "the foreign client did not connect";
        const Fd accepted = acceptOne(listener);
        EXPECT_EQ(peer::peerUid(accepted.get()), kForeignUid);
        EXPECT_EQ(peer::detail::peerUidFromNetlink(accepted.get()), kForeignUid);
        EXPECT_EQ(peer::detail::peerUidFromProc(accepted.get()), kForeignUid);
    }
}

TEST(PeerUid, WhatIsNoConnectedTcpSocketGivesNothing) {
    const Fd listening = bound(AF_INET, "127.0.0.1");
    const Fd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    const Fd unixA(pair[0]), unixB(pair[1]);
    int closed = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::close(closed);
    for (int fd : {-1, closed, devNull.get(), listening.get(), udp.get(), unixA.get()}) {
        SCOPED_TRACE(fd);
        EXPECT_EQ(peer::peerUid(fd), std::nullopt);
        EXPECT_EQ(peer::detail::peerUidFromProc(fd), std::nullopt);
    }
}

TEST(PeerUid, ListenersAreFoundByFamilyAndPortOnly) {
    using Lookup = std::optional<uid_t> (*)(int, int);
    const std::pair<const char*, Lookup> lookups[] = {{"either", peer::listenerUid},
                                                      {"netlink", peer::detail::listenerUidFromNetlink},
                                                      {"proc", peer::detail::listenerUidFromProc}};
    const Fd v4 = bound(AF_INET, "127.0.0.1");
    const Fd v6 = bound(AF_INET6, "::1");
    const Fd any4 = bound(AF_INET, "0.0.0.0");
    const Fd unlistened = bound(AF_INET, "127.0.0.1", false);  // holds its port, listens on nothing
    for (const auto& [name, lookup] : lookups) {
        SCOPED_TRACE(name);
        EXPECT_EQ(lookup(AF_INET, portOf(v4.get())), ::getuid());
        EXPECT_EQ(lookup(AF_INET6, portOf(v6.get())), ::getuid());
        EXPECT_EQ(lookup(AF_INET, portOf(any4.get())), ::getuid());
        EXPECT_EQ(lookup(AF_INET6, portOf(v4.get())), std::nullopt);
        EXPECT_EQ(lookup(AF_INET, portOf(unlistened.get())), std::nullopt);
        EXPECT_EQ(lookup(AF_UNIX, portOf(v4.get())), std::nullopt);
        EXPECT_EQ(lookup(AF_INET, 0), std::nullopt);
    }
    if (!canSwitchUid())
        GTEST_SKIP() << "not root, and setpriv cannot switch to uid 65534 here";
    for (const auto& [family, host] : {std::pair{AF_INET, "127.0.0.1"}, std::pair{AF_INET6, "::1"}}) {
        SCOPED_TRACE(host);
        Foreign squatter("listen", family, host, 0);
        const int port = squatter.port();
        ASSERT_NE(port, 0);
        for (const auto& [name, lookup] : lookups)
            EXPECT_EQ(lookup(family, port), kForeignUid) << name;
    }
}

TEST(PeerUid, DescribesAUidByNameWhenItHasOne) {
    EXPECT_EQ(peer::describeUid(0), "user root (uid 0)");
    EXPECT_EQ(peer::describeUid(3999999999u), "uid 3999999999");
}

namespace {

// The word as the kernel prints it: the address bytes read as a native integer, in hex.
std::string hexWord(const std::uint8_t* bytes) {
    std::uint32_t word;
    std::memcpy(&word, bytes, 4);
    char text[9];
    std::snprintf(text, sizeof text, "%08X", word);
    return text;
}

std::string tcpField(const Endpoint& e) {
    char port[6];
    std::snprintf(port, sizeof port, ":%04X", e.port);
    return hexWord(e.address.data() + 12) + port;
}

std::string tcp6Field(const Endpoint& e) {
    char port[6];
    std::snprintf(port, sizeof port, ":%04X", e.port);
    std::string field;
    for (int i = 0; i < 4; ++i)
        field += hexWord(e.address.data() + 4 * i);
    return field + port;
}

std::string line(const std::string& local, const std::string& remote, const std::string& state,
                 const std::string& uid) {
    return "   0: " + local + " " + remote + " " + state +
           " 00000000:00000000 00:00000000 00000000 " + uid + "        0 4242 1 0000000000000000 20 4 30 10 -1\n";
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

} // namespace

TEST(PeerUid, ProcTablesAreReadStrictly) {
    Endpoint local, remote;
    local.address[10] = local.address[11] = remote.address[10] = remote.address[11] = 0xff;
    local.address[12] = remote.address[12] = 127;
    local.address[15] = remote.address[15] = 1;
    local.port = 0xC350;
    remote.port = 8080;
    const std::string l4 = tcpField(local), r4 = tcpField(remote);
    const std::string heading = "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n";
    const std::string other = line(tcpField(remote), tcpField(local), "01", "7");  // the reverse direction
    struct Case {
        const char* name;
        std::string table;
        std::optional<uid_t> expected;
    } cases[] = {
        {"the matching line", heading + other + line(l4, r4, "01", "1234"), 1234},
        {"v4-mapped in the IPv6 table", heading + line(tcp6Field(local), tcp6Field(remote), "01", "1234"), 1234},
        {"lower-case hex", heading + line(lower(tcp6Field(local)), lower(tcp6Field(remote)), "01", "99"), 99},
        {"only the reverse direction", heading + other, std::nullopt},
        {"another state", heading + line(l4, r4, "0A", "1234"), std::nullopt},
        {"a uid past 32 bits", heading + line(l4, r4, "01", "4294967296"), std::nullopt},
        {"the no-uid value", heading + line(l4, r4, "01", "4294967295"), std::nullopt},
        {"a uid with a letter", heading + line(l4, r4, "01", "12a"), std::nullopt},
        {"a bad hex digit", heading + line(l4, r4, "01", "1") + line("0100007G:C350", r4, "01", "1"),
         std::nullopt},
        {"a short address", heading + line("100007F:C350", r4, "01", "1"), std::nullopt},
        {"two owners", heading + line(l4, r4, "01", "1") + line(l4, r4, "01", "2"), std::nullopt},
        {"an overlong line", heading + std::string(600, ' ') + "\n" + line(l4, r4, "01", "1"), std::nullopt},
        {"a cut last line", heading + line(l4, r4, "01", "1").substr(0, 60), std::nullopt},
        {"too few fields", heading + "   0: " + l4 + " " + r4 + " 01\n", std::nullopt},
    };
    const std::string path = ::testing::TempDir() + "/peer-uid-table";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(path, std::ios::trunc) << c.table;
        EXPECT_EQ(peer::detail::uidInProcTable(path.c_str(), local, remote, 1u << 0x01), c.expected);
    }
    std::filesystem::remove(path);
}
