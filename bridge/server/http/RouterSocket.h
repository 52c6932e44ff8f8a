// Connections the machine's router hands over instead of the bridge accepting them on TCP. The
// router connects to the bridge's unix socket once per TCP connection and sends one byte 'C'
// with the TCP descriptor (SCM_RIGHTS), and nothing else.
#pragma once

#include "platform/UniqueFd.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace bridge::server::http {

struct HandOver {
    platform::UniqueFd socket;        // listening AF_UNIX SOCK_STREAM socket
    int port = 0;                     // the router's loopback port, the one pages name in Host
    std::chrono::seconds idle{1800};  // onIdle once this long passed without a connection
    std::function<void()> onIdle;     // on the event thread; empty: never
};

// The next Server::start of this process serves `handOver` and binds no TCP port. The socket
// belongs to the process (systemd passes it at exec), not to one server object, so it is handed
// in here rather than through every layer between main and the server.
void serveHandedOver(HandOver handOver);
std::optional<HandOver> takeHandOver();

// How long a unix connection may take to deliver its byte and descriptor.
inline constexpr std::chrono::milliseconds kHandOverWait{2000};

enum class Received { connection, refused, notYet };

// Reads the hand-over from the unix connection `fd` without blocking: `connection` with `out`
// set when exactly the byte 'C' came with exactly one descriptor; `notYet` when nothing has
// arrived; `refused` with `why` for anything else (every descriptor that came is closed).
Received receiveHandedOver(int fd, platform::UniqueFd& out, std::string& why);

// Whether `fd` is a connected TCP socket (not a listening one) with both ends on a loopback
// address; `why` says what it is otherwise. The peer's uid is the server's own check.
bool loopbackTcpConnection(int fd, std::string& why);

} // namespace bridge::server::http
