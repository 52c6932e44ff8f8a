// Who is at the other end of a loopback TCP connection: the uid owning the peer's socket, found
// through the kernel's socket diagnostics (NETLINK_SOCK_DIAG), with /proc/net/tcp6 and
// /proc/net/tcp as the fallback. Every user of the machine can reach loopback, so the bridge
// serves only its own uid.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace bridge::server {

// The uid owning the socket at the other end of the accepted connection `fd`; nullopt when
// it cannot be found (which callers treat as a refusal). Safe from several threads; each
// calling thread keeps one netlink socket open. About 10 us through netlink; the /proc fallback
// walks the kernel's whole socket table and takes milliseconds.
std::optional<uid_t> peerUid(int fd);

// The uid owning a socket listening on the loopback address of `family` (AF_INET or AF_INET6)
// and `port`; nullopt when none is found.
std::optional<uid_t> listenerUid(int family, int port);

// "user NAME (uid N)", or "uid N" for a uid without a name.
std::string describeUid(uid_t uid);

namespace detail {

// Each mechanism on its own, so that tests and the benchmark reach the fallback even where the
// kernel answers netlink. peerUid and listenerUid try netlink first, then /proc.
std::optional<uid_t> peerUidFromNetlink(int fd);
std::optional<uid_t> peerUidFromProc(int fd);
std::optional<uid_t> listenerUidFromNetlink(int family, int port);
std::optional<uid_t> listenerUidFromProc(int family, int port);

// One end of a TCP socket as /proc/net/tcp6 shows it: IPv4 addresses in their v4-mapped form.
struct Endpoint {
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

// The uid on the line of the table at `path` (/proc/net/tcp6 or /proc/net/tcp format) whose
// local and remote ends are the given ones and whose state is one of `states` (a bit 1 << S for
// each state S as the table shows it: 0x01 established, 0x0A listen). nullopt when no line
// matches, when matching lines disagree, or when the table is malformed or larger than a real
// one can be.
std::optional<uid_t> uidInProcTable(const char* path, const Endpoint& local, const Endpoint& remote,
                                    unsigned states);

} // namespace detail

} // namespace bridge::server
